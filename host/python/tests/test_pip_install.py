"""`pip install` of the repository into a fresh virtual environment, as a
user without network access would (Debian's setuptools and wheel, through
--system-site-packages): the package and everything it loads come from the
environment, work moved elsewhere, and `pip uninstall` takes them all away.
The first run builds the package's CMake tree (build/python-package), a
few minutes; later runs rebuild only what changed. Select it with `-m venv`,
leave it out with `-m "not venv"`."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import C_SAMPLE, SAMPLE

REPOSITORY = pathlib.Path(__file__).resolve().parents[3]

# Run by the interpreter of the environment: where efi and the libraries it
# loaded came from, a call, a map that fails, and an isolated call (its
# worker the package's efi-worker).
SCRIPT = """
import sys
import efi
package = efi.__file__.rsplit("/", 1)[0]
maps = open("/proc/self/maps").read()
for name in ("libefi.so.0", "libvrnrun.so.0", "libvrnfaults.so.0"):
    print(name, [line.split()[-1] for line in maps.splitlines() if line.endswith("/" + name)][0] ==
          package + "/lib/" + name)
m = efi.load(sys.argv[1])
print(m.sample_add(1, 2), m.sample_sqrt.map([1, 4]).tolist())
try:
    m.sample_sqrt.map([1, -4])
except efi.WorksheetError as e:
    print(e)
print(efi.load(sys.argv[2], isolated=True).c_sample_sqrt(16))
"""

EXPECTED = ("libefi.so.0 True\nlibvrnrun.so.0 True\nlibvrnfaults.so.0 True\n3.0 [1.0, 2.0]\n"
            "must be non-negative (argument 1) at index (1,)\n4.0")


def _run(args, **kwargs):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "EFI_WORKER")}
    env.update(kwargs.pop("env", {}))
    done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=1200, **kwargs)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout.strip()


@pytest.mark.venv
def test_pip_installs_the_package_into_a_virtual_environment_and_uninstalls_it(tmp_path):
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("the sanitizers' runtimes are preloaded: the package is built without them")
    if not shutil.which("cmake"):
        pytest.skip("needs cmake")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    _run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--no-deps", str(REPOSITORY)])
    site = pathlib.Path(_run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]))
    installed = site / "efi"
    assert _run([python, "-c", SCRIPT, str(SAMPLE), str(C_SAMPLE)], cwd=tmp_path) == EXPECTED
    assert (installed / "bin" / "efi-worker").exists()

    # Moved elsewhere, it still finds its libraries and its worker.
    moved = tmp_path / "moved"
    shutil.copytree(installed, moved / "efi")
    _run([python, "-m", "pip", "uninstall", "-y", "efi"])
    assert sorted(p.name for p in site.iterdir() if p.name.startswith("efi")) == []
    assert _run([python, "-c", SCRIPT, str(SAMPLE), str(C_SAMPLE)], cwd=tmp_path, env={"PYTHONPATH": str(moved)}) \
        == EXPECTED
