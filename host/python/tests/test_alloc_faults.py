"""Every allocation of a call from Python refused in turn, on the test build
of the extension: each refusal is a Python exception (MemoryError, or the
worksheet's "out of memory") and the interpreter goes on; nothing of it is
left for the next calls. Run in a process of its own, on its own package."""
import os
import subprocess
import sys

import pytest

from conftest import BUILD

TESTING = BUILD / "host/python/testing"
SAMPLE = BUILD / "tests/reliability/libreliability_sample.so"

SCRIPT = r"""
import numpy as np
import efi
from efi import _efi

m = efi.load(SAMPLE)

def work():
    return (m.sample_scale(2.0, np.ones((2, 3))).tolist(), m.sample_upper("text"), m.sample_add(1.0, 2.0),
            efi.dms_inv(1.5).tolist(), repr(m.sample_add), m.sample_add.__doc__)

expected = work()
_efi._fault_plan(0)
work()
count, _ = _efi._fault_plan_end()
assert count >= 4, count
refused = set()
for n in range(1, count + 1):
    _efi._fault_plan(n)
    try:
        work()
    except MemoryError:
        refused.add("MemoryError")
    except efi.WorksheetError as e:
        assert e.message == "out of memory", (n, e.message)
        refused.add("out of memory")
    finally:
        _, fired = _efi._fault_plan_end()
    assert fired, n
    assert work() == expected, n
print(sorted(refused))
"""


def test_every_refused_allocation_is_a_python_exception():
    if not (TESTING / "efi").is_dir() or not SAMPLE.exists():
        pytest.fail(f"the test build of the extension ({TESTING}) or {SAMPLE} is not built")
    env = dict(os.environ, PYTHONPATH=str(TESTING))
    r = subprocess.run([sys.executable, "-c", f"SAMPLE = {str(SAMPLE)!r}\n" + SCRIPT], env=env,
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "['MemoryError', 'out of memory']"
