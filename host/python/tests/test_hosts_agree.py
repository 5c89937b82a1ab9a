"""Python and efi-call are two hosts on one bridge: every number function of
the sample module, of its C twin, and of the GSL and Boost example modules when they are built, gives
the same result or the same error through both."""
import itertools
import math
import re
import subprocess

import numpy as np
import pytest

import efi
from conftest import BUILD, C_SAMPLE, EFI_CALL, SAMPLE

MODULES = [SAMPLE, C_SAMPLE] + sorted((BUILD / "examples" / "gsl").glob("*.so")) + sorted(
    (BUILD / "examples" / "boost").glob("*.so"))
POINTS = [0.5, 2.0, -1.0, 0.0]


def number_functions(m):
    # The signature line: name(kind, ...) -> kind, or with parameter names
    # (x: kind, ...) and flags ("  [masked]") when the module describes them.
    for name, f in sorted(m.functions.items()):
        args, ret = f.__doc__.splitlines()[0][len(name) + 1:].split("  [")[0].split(") -> ")
        kinds = [a.split(": ")[-1] for a in args.split(", ")] if args else []
        if kinds and ret == "number" and all(k == "number" for k in kinds) and len(kinds) <= 3:
            yield name, len(kinds)


def through_python(f, args):
    try:
        return f(*args)
    except efi.WorksheetError as e:
        return f"error: {e}"


def read_efi_call(line):
    line = re.sub(r"^line \d+: ", "", line)  # script mode names the line of an error
    if line.startswith("error: "):
        return line
    z = complex(line.replace("i", "j"))
    return z.real if z.imag == 0 else z


def same(a, b):
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    return a == b or (all(math.isnan(x) for x in (abs(a), abs(b))))


@pytest.mark.parametrize("path", MODULES, ids=lambda p: p.name)
def test_python_and_efi_call_agree(path, tmp_path):
    if not EFI_CALL.exists():
        pytest.fail(f"efi-call was not found where expected: {EFI_CALL}")
    m = efi.load(path)
    calls = [(name, args) for name, n in number_functions(m)
             for args in itertools.islice(itertools.product(POINTS, repeat=n), 6)]
    if not calls:
        pytest.skip(f"{path.name} has no number functions")
    script = tmp_path / "calls.txt"
    script.write_text("".join(f"{name} {' '.join(map(repr, args))}\n" for name, args in calls))
    run = subprocess.run([str(EFI_CALL), "--ext", str(path), "--script", str(script)],
                         capture_output=True, text=True)
    lines = run.stdout.splitlines()
    assert len(lines) == len(calls), run.stderr
    for (name, args), line in zip(calls, lines):
        expected = read_efi_call(line)
        got = through_python(m[name], args)
        assert same(got, expected), f"{name}{args}: python {got!r}, efi-call {line!r}"


GSL = BUILD / "examples" / "gsl" / "libefi_gsl.so"


@pytest.mark.parametrize("a", [
    [[4.0, 7.0], [2.0, 6.0]],
    np.asfortranarray(np.arange(9.0).reshape(3, 3) ** 2 + np.eye(3)),
    np.arange(16.0).reshape(4, 4).T + 10 * np.eye(4),
], ids=["2x2 list", "3x3 Fortran", "4x4 transposed"])
def test_gsl_linear_algebra_matches_numpy(a):
    if not GSL.exists():
        pytest.skip("the GSL example module is not built")
    m = efi.load(GSL)
    assert m.gsl_det(a) == pytest.approx(np.linalg.det(a), rel=1e-12)
    np.testing.assert_allclose(m.gsl_inverse(a), np.linalg.inv(a), rtol=1e-12, atol=1e-14)
