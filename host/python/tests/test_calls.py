"""Calls of module functions from Python: values of every argument and
return code, the bridge's failures, processor faults, file names."""
import ctypes
import ctypes.util
import decimal
import fractions
import inspect
import math
import os
import pathlib
import pickle
import pydoc
import re
import site
import subprocess
import sys

import numpy as np
import pytest

import efi
from conftest import BUILD, DESCRIBED, EFI_CALL, ODD, SAMPLE

INF = float("inf")


def function_of(modules, module, name):
    if module not in modules:
        pytest.skip(f"module {module} not built")
    return modules[module][name]


def call(modules, module, name, *args):
    return function_of(modules, module, name)(*args)


class _Index:
    """A number by its index alone."""
    def __index__(self):
        return 3


class _Complex:
    """A number by its complex form alone."""
    def __complex__(self):
        return 2 + 1j


# (module, function, arguments, result): result type matters (float/complex/str).
VALUES = [
    ("sample", "sample_add", (_Index(), _Complex()), 5 + 1j),
    ("sample", "sample_add", (decimal.Decimal("2.5"), fractions.Fraction(-1)), 1.5),  # -1.0 read, no error
    ("sample", "sample_add", (1 + 2j, 3 - 4j), 4 - 2j),
    ("sample", "sample_add", (1, 2), 3.0),
    ("sample", "sample_add", (1j, -1j), 0.0),  # no imaginary part: a float
    ("sample", "sample_add", (np.float32(1.5), np.complex64(2j)), 1.5 + 2j),
    ("sample", "sample_add", (fractions.Fraction(1, 2), True), 1.5),
    ("sample", "sample_add", (np.array(2.0), np.int64(3)), 5.0),
    ("sample", "sample_sqrt", (2.25,), 1.5),
    ("sample", "sample_divide", (1, 4), 0.25),
    ("sample", "sample_upper", ("hello, world",), "HELLO, WORLD"),
    ("sample", "sample_upper", ("",), ""),
    ("sample", "sample_length", ("na\u00efve",), 5.0),   # one low byte per character
    ("sample", "sample_length", ("ab\0cd",), 2.0),        # cut at the NUL
    ("sample", "sample_nothing", (1,), ""),              # null text
    ("sample", "sample_apply", ("sample_sqrt", 2.25), 1.5),  # callback into the module
    ("odd", "t_blank", (7,), 0.0),
    ("odd", "t_weighted10", tuple(range(1, 11)), float(sum(k * k for k in range(1, 11)))),
    ("odd", "t_echo", ("caf\u00e9",), "caf\u00e9"),
    ("odd", "t_utf8", (0,), "\u221a2 \u2248 1.414, caf\u00e9"),
]


@pytest.mark.parametrize("module,name,args,expected", VALUES)
def test_values_cross_both_ways(modules, module, name, args, expected):
    result = call(modules, module, name, *args)
    assert result == expected
    assert type(result) is type(expected)


def _outcome(f, *args):
    try:
        r = f(*args)
    except efi.WorksheetError as e:
        return type(e).__name__, e.message, e.argument
    if isinstance(r, np.ndarray):
        return r.dtype.str, r.shape, r.tolist()
    return type(r).__name__, r


# The C sample answers every call as the C++ sample does: values of each
# kind, result codes, raised standard errors, faults and callbacks.
TWIN_CALLS = [
    ("add", (1 + 2j, 3 - 4j)),
    ("scale", (2, [[1.0, 2.0], [3.0, 4j]])),
    ("scale", (-1, np.zeros((0, 3)))),
    ("scale", (1j, [1.0, 2.0])),
    ("sum", ([[0.1, 0.2]],)),
    ("sum", ([[1e308, 1e308]],)),
    ("upper", ("mixed Case",)),
    ("length", ("na\u00efve",)),
    ("path", ("/abs/file",)),
    ("file_size", ("/no/such/file",)),
    ("file_size", ("/",)),
    ("file_size", (__file__,)),
    ("sqrt", (2.25,)),
    ("sqrt", (-4,)),
    ("sqrt", (1j,)),
    ("throw", (5,)),
    ("throw", (float("nan"),)),
    ("divide", (1, 0)),
    ("divide", (0, 0)),
    ("apply", ("sample_sqrt", 2.25)),
    ("apply", ("nope", 1)),
    ("nothing", (1,)),
]


@pytest.mark.parametrize("name,args", TWIN_CALLS, ids=[f"{n}{a!r}" for n, a in TWIN_CALLS])
def test_the_c_sample_answers_as_the_cpp_sample(sample, c_sample, name, args):
    assert _outcome(c_sample["c_sample_" + name], *args) == _outcome(sample["sample_" + name], *args)


# Arrays of every layout numpy hands over, compared with numpy's own sum
# and scaling.
_base = np.arange(1.0, 13.0).reshape(3, 4)
ARRAYS = {
    "C order": _base,
    "Fortran order": np.asfortranarray(_base),
    "transposed view": _base.T,
    "strided view": np.arange(60.0).reshape(6, 10)[::2, ::3],
    "reversed": _base[::-1, ::-1],
    "complex C": _base + 1j * _base[::-1],
    "complex Fortran": np.asfortranarray(_base - 2j),
    "int": np.arange(6).reshape(2, 3),
    "float32": _base.astype(np.float32),
    "complex64": (_base + 1j).astype(np.complex64),
    "bool": np.array([[True, False], [True, True]]),
    "nested lists": [[1, 2, 3], [4, 5, 6]],
    "1-D: a column": [1.0, 2.0, 3.0],
    "no rows": np.zeros((0, 3)),
    "big": np.arange(40000.0).reshape(100, 400) / 7,
    "big-endian": _base.astype(">f8"),
    "big-endian complex": (_base - 1j * _base).astype(">c16"),
    "unsigned": np.arange(6, dtype=np.uint16).reshape(2, 3),
    "float16": _base.astype(np.float16),
    "big-endian float32": _base.astype(">f4"),
    "empty 1-D": np.zeros(0),
}


@pytest.mark.parametrize("layout", ARRAYS)
def test_matrices_match_numpy(sample, layout):
    a = ARRAYS[layout]
    expected = np.asarray(a)
    if expected.ndim == 1:
        expected = expected.reshape(-1, 1)
    assert sample.sample_sum(a) == pytest.approx(expected.sum(), rel=1e-12)
    for s in (2.0, 0.5 - 1j):
        scaled = sample.sample_scale(s, a)
        assert scaled.shape == expected.shape
        complex_result = np.iscomplexobj(expected) or isinstance(s, complex)
        assert scaled.dtype == (np.complex128 if complex_result else np.float64)
        np.testing.assert_allclose(scaled, s * expected.astype(scaled.dtype), rtol=1e-15)


@pytest.mark.parametrize("rows,cols,complex_part", [(2, 3, 0), (2, 3, 1), (1, 1, 0), (0, 0, 0), (0, 4, 1)])
def test_matrix_results_of_every_shape(odd, rows, cols, complex_part):
    m = odd.t_shape(rows, cols, complex_part)
    k = np.arange(1.0, rows * cols + 1).reshape(cols, rows).T  # element k = k + 1, by columns
    np.testing.assert_array_equal(m, k - 1j * k if complex_part else k)
    assert m.shape == (rows, cols)
    assert m.dtype == (np.complex128 if complex_part else np.float64)


def test_matrix_results_are_the_hosts_storage(sample):
    # A real result is viewed in place; it stays valid after the call, and
    # views of it keep it alive.
    r = sample.sample_scale(1.0, np.eye(300))
    assert not r.flags.owndata and r.base is not None
    view = r[::2]
    del r
    assert view.sum() == 150.0
    view[0, 0] = 5.0  # writable
    assert view[0, 0] == 5.0


def test_numpy_side_copies_nothing_but_the_interleaving(sample):
    import tracemalloc
    n = 400
    real_c, real_f = np.ones((n, n)), np.ones((n, n), order="F")
    cplx = np.ones((n, n), dtype=complex)
    tracemalloc.start()
    try:
        for a in (real_c, real_f):
            tracemalloc.reset_peak()
            before = tracemalloc.get_traced_memory()[0]
            r = sample.sample_scale(2.0, a)
            assert tracemalloc.get_traced_memory()[1] - before < 64 * 1024
            del r
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        r = sample.sample_scale(2.0, cplx)
        grown = tracemalloc.get_traced_memory()[1] - before
        assert r.nbytes <= grown < r.nbytes + 64 * 1024  # the one interleaving copy
    finally:
        tracemalloc.stop()


def _no_directory(m):
    m.cwd = None
    return m


# (what, module, function, arguments, message, argument): every failure row
# of the bridge, as the Python caller sees it.
FAILURES = [
    ("no arguments", "odd", "t_none", (1,), "maximum 10 arguments", None),
    ("eleven arguments", "odd", "t_eleven", (1,), "maximum 10 arguments", None),
    # Their host functions take one argument, whatever the table declares.
    ("eleven arguments, given eleven", "odd", "t_eleven", tuple(range(11)), "too many parameters", None),
    ("no arguments, given two", "odd", "t_none", (1, "x"), "too many parameters", None),
    ("text for a number", "sample", "sample_add", ("x", 1), "must be scalar", 1),
    ("None for a number", "sample", "sample_add", (1, None), "must be scalar", 2),
    ("number for a matrix", "sample", "sample_scale", (1, 2), "must be matrix", 2),
    ("nested matrix", "sample", "sample_scale", (1, [[1, "a"]]), "may not be nested", 2),
    ("ragged lists", "sample", "sample_sum", ([[1, 2], [3]],), "may not be nested", 1),
    ("number for text", "sample", "sample_upper", (1,), "must be string", 1),
    ("number for a file", "sample", "sample_path", (1,), "must be string", 1),
    ("unknown argument code", "odd", "t_bad_arg", (1,), "argument type not implemented", None),
    ("table entry 3", "odd", "t_code", ((2 << 16) | 3,), "third failure", 2),
    ("index 0", "odd", "t_code", (2 << 16,), "unknown error", 2),
    ("index past the table", "odd", "t_code", ((2 << 16) | 4,), "unknown error", 2),
    ("no table", "odd", "t_code_untabled", ((1 << 16) | 1,), "unknown error", 1),
    ("no argument to blame", "odd", "t_code", (3,), "third failure", 0),
    ("return code 0", "odd", "t_ret0", (1,), "return type not implemented", None),
    ("return code 3", "odd", "t_ret3", (1,), "return type not implemented", None),
    ("second of three", "odd", "t_three", (1, 2, 3), "must be matrix", 2),
    ("native message", "sample", "sample_sqrt", (-1,), "must be non-negative", 1),
    ("NaN", "sample", "sample_sqrt", (float("nan"),), "must be a number", 1),
    ("native message 1", "sample", "sample_file_size", ("/no/such/file",), "file not found", 1),
    ("native message 2", "sample", "sample_file_size", ("/",), "not a regular file", 1),
    ("native Throw", "sample", "sample_throw", (5,), "must be positive", 1),
    ("no such callback", "sample", "sample_apply", ("no_such", 1), "must be a function", 1),
]


@pytest.mark.parametrize("what,module,name,args,message,argument", FAILURES, ids=[f[0] for f in FAILURES])
def test_every_failure_is_a_worksheet_error(modules, what, module, name, args, message, argument):
    with pytest.raises(efi.WorksheetError) as e:
        call(modules, module, name, *args)
    assert (e.value.message, e.value.argument) == (message, argument)
    assert not isinstance(e.value, efi.ProcessorFault)
    assert str(e.value) == (message if argument is None else f"{message} (argument {argument})")


@pytest.mark.parametrize("args,error,message,type_name", [
    ((0,), efi.ModuleException, "boom", "std::runtime_error"),  # a std::exception: a worksheet error of its what()
    ((1,), RuntimeError, "unknown error", None),                # anything else
])
def test_foreign_exceptions_from_native_code(odd, args, error, message, type_name):
    with pytest.raises(error, match=f"^{message}$") as e:
        odd.t_throw(*args)
    if type_name:
        assert isinstance(e.value, efi.WorksheetError)
        assert (e.value.type, e.value.argument) == (type_name, None)
        assert pickle.loads(pickle.dumps(e.value)).args == e.value.args
    assert 1e308 * 10 == INF
    assert odd.t_blank(1) == 0.0


def test_nesting_is_limited(odd):
    assert odd.t_nest(10).real == 10.0
    with pytest.raises(efi.WorksheetError, match="calls nested too deeply"):
        odd.t_nest(300)


def test_relative_name_without_directory_blames_argument_0():
    m = _no_directory(efi.load(SAMPLE))
    with pytest.raises(efi.WorksheetError) as e:
        m.sample_path("rel")
    assert (e.value.message, e.value.argument) == ("must be string", 0)
    assert m.sample_path("/abs") == "/abs"


@pytest.mark.parametrize("a,b,message,code", [
    (1.0, 0.0, "singularity", 0xC000008E),
    (1e308, 1e-308, "overflow", 0xC0000091),
    (0.0, 0.0, "floating point error", 0xC0000090),
])
def test_trapped_faults_then_pythons_arithmetic(sample, a, b, message, code):
    with pytest.raises(efi.ProcessorFault) as e:
        sample.sample_divide(a, b)
    assert (e.value.message, e.value.code, e.value.argument, str(e.value)) == (message, code, None, message)
    assert isinstance(e.value, efi.WorksheetError)
    # Python's own arithmetic is untrapped again: these would be SIGFPE
    # under the host's word.
    assert 1e308 * 10 == INF
    assert math.isnan(INF - INF)
    with np.errstate(all="ignore"):
        assert np.float64(1.0) / np.float64(0.0) == INF
    assert sample.sample_divide(1, 8) == 0.125  # and the bridge goes on


def run_python(code, **env_changes):
    """`code` in a fresh interpreter with this package, bounded in time."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(pathlib.Path(efi.__file__).parents[1])] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("replace,then_crash", [
    ("faulthandler.enable()", True),
    ("signal.signal(signal.SIGFPE, lambda *a: None)", False),
    ("faulthandler.enable(); faulthandler.disable(); signal.signal(signal.SIGFPE, signal.SIG_DFL)", False),
])
def test_faults_stay_errors_whatever_replaced_the_handler(replace, then_crash):
    # Before the fix: faulthandler's report and exit status 136; a handler
    # that returns made the faulting instruction trap again for ever. A real
    # crash afterwards is still faulthandler's to report.
    r = run_python(f"import ctypes, faulthandler, signal, efi\nm = efi.load({str(SAMPLE)!r})\n{replace}\n"
                   "for b in (0, 0):\n"
                   "    try:\n        m.sample_divide(1, b)\n"
                   "    except efi.ProcessorFault as e:\n        print(e.message, flush=True)\n"
                   + ("ctypes.string_at(0)\n" if then_crash else ""),
                   # Under the sanitizers' runtime the crash is faulthandler's to report, not theirs.
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0")
    assert r.stdout == "singularity\nsingularity\n", r.stderr
    if then_crash:
        assert r.returncode == -11
        assert "Fatal Python error: Segmentation fault" in r.stderr
    else:
        assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("attempt", [
    lambda m: m.sample_add(1, 2),
    lambda m: m.sample_sqrt(-1),
    lambda m: m.sample_throw(3),
    lambda m: m.sample_scale(2, [[1e308]]),
    lambda m: efi.fif("1/0"),
])
def test_every_exit_restores_pythons_environment(sample, attempt):
    # The whole environment comes back, not only the masks: here a rounding
    # mode of Python's that the call's own word does not have.
    assert LIBM.fesetround(FE_UPWARD) == 0
    try:
        before = control_words()
        try:
            attempt(sample)
        except efi.WorksheetError:
            pass
        after = control_words()
    finally:
        LIBM.fesetround(FE_TONEAREST)
    assert after == before
    assert 1e308 * 10 == INF


LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
FE_TONEAREST, FE_UPWARD = 0, 0x800


def control_words():
    """The x87 control word and MXCSR without its flags, from fegetenv."""
    env = (ctypes.c_uint8 * 32)()
    assert LIBM.fegetenv(env) == 0
    mxcsr = int.from_bytes(bytes(env[28:32]), "little")
    return int.from_bytes(bytes(env[0:2]), "little"), mxcsr & ~0x3F


def test_file_names_join_the_modules_directory(tmp_path):
    (tmp_path / "data.bin").write_bytes(b"12345")
    m = efi.load(SAMPLE, cwd=tmp_path)
    assert m.cwd == str(tmp_path)
    assert m.sample_path("data.bin") == f"{tmp_path}/data.bin"
    assert m.sample_file_size("data.bin") == 5.0
    assert m.sample_file_size(tmp_path / "data.bin") == 5.0  # a path object
    m.cwd = "/some/dir/"
    assert m.sample_path("x") == "/some/dir/x"
    # A directory given as bytes is the file system's encoding of its name, as os.fsdecode reads it.
    m.cwd = os.fsencode(tmp_path)
    assert m.cwd == str(tmp_path)
    assert m.sample_file_size("data.bin") == 5.0
    assert efi.load(SAMPLE, cwd=b"/other/dir").sample_path("x") == "/other/dir/x"
    assert efi.load(SAMPLE).sample_path("x") == os.path.join(os.getcwd(), "x")


@pytest.mark.parametrize("args,error", [
    (({}, 1), TypeError),
    ((np.zeros((2, 2, 2)), 1), TypeError),
    ((object(), 1), TypeError),
    ((10 ** 400, 1), OverflowError),
])
def test_values_with_no_host_kind_are_python_errors(sample, args, error):
    with pytest.raises(error):
        sample.sample_add(*args)
    with pytest.raises(TypeError):
        sample.sample_add(1, b=2)


# Values the host could only pass by changing them: refused, naming the argument.
@pytest.mark.parametrize("name,arg,error,message", [
    ("sample_sum", np.ma.array([[1.0, 2.0]], mask=[[0, 1]]), TypeError, "argument 1: a masked array is not a matrix"),
    ("sample_sum", bytearray(b"ab"), TypeError, "argument 1: bytearray is not a worksheet value"),
    ("sample_upper", "caf\u00e9 \u2211 \U0001f600", ValueError, "argument 1: native code takes text of characters U+0000"),
    ("sample_length", "\ud800", ValueError, "argument 1: native code takes text of characters U+0000"),
    ("sample_sum", np.array(["2024-01-01"], dtype="datetime64[D]"), TypeError,
     "argument 1: numpy.ndarray is not a worksheet value"),
    ("sample_sum", np.zeros((2, 2, 2)), TypeError, "argument 1: a 3-dimensional array is not a matrix"),
    ("sample_sum", b"ab", TypeError, "argument 1: bytes is not a worksheet value"),
], ids=["masked", "bytearray", "beyond Latin-1", "lone surrogate", "dates", "3-D", "bytes"])
def test_values_native_code_cannot_hold_are_refused(sample, name, arg, error, message):
    with pytest.raises(error) as e:
        sample[name](arg)
    assert str(e.value).startswith(message)
    assert not isinstance(e.value, efi.WorksheetError)


@pytest.mark.parametrize("name,args,message", [
    ("sample_add", (1,), "sample_add() takes 2 arguments (1 given)"),
    ("sample_sqrt", (1, 2), "sample_sqrt() takes 1 argument (2 given)"),
    ("fif", (), "fif() takes 1 argument (0 given)"),
])
def test_wrong_argument_counts_are_type_errors_too(sample, name, args, message):
    f = efi.fif if name == "fif" else sample[name]
    with pytest.raises(TypeError) as e:
        f(*args)
    assert isinstance(e.value, efi.WorksheetError)
    assert (str(e.value), e.value.argument) == (message, None)


@pytest.mark.parametrize("module,name,signature", [
    ("sample", "sample_add", "(number1: complex, number2: complex, /)"),  # unnamed: positional only, by kind
    ("sample", "sample_scale", "(number1: complex, matrix2: 'numpy.ndarray', /)"),
    ("described", "d_ibeta", "(a: complex, b: complex, x: complex)"),     # named: by position or keyword
    ("described", "d_log_m", "(M: 'numpy.ndarray')"),
    ("keywords", "k_poisson", "(lambda_: complex, k: complex)"),          # a reserved word gets an underscore
    ("keywords", "k_taken", "(lambda_: complex, lambda__: complex)"),     # and one more where that is taken
])
def test_signatures_name_the_parameters(modules, module, name, signature):
    assert str(inspect.signature(function_of(modules, module, name))) == signature


IBETA_DOC = """d_ibeta(a: number, b: number, x: number) -> number  [thread-safe]

A stand-in for the regularised incomplete beta.

Returns a + b x.
The second line of help.

Parameters
----------
a : number
    first shape, positive
b : number
    second shape
x : number
    where, in [0, 1]

Notes
-----
Thread-safe: declared safe to run on several threads at once; calls from
several Python threads run at once, and map sweeps on several (threads=).

Raises
------
WorksheetError
    must be positive"""


@pytest.mark.parametrize("module,name,fragments", [
    ("described", "d_ibeta", [IBETA_DOC]),
    ("described", "d_log_m", ["d_log_m(M: matrix) -> matrix  [masked]\n\nElement-wise natural logarithm.\n",
                              "M : matrix\n    a real matrix\n", "\nMasked: "]),
    ("described", "d_sqrt", ["x : number\n\nNotes"]),  # a parameter without help
    ("described", "d_scale", ["\nNotes\n-----\nMasked: runs with floating-point exceptions masked; an infinite or NaN\n"
                              "result of finite arguments is reported as the fault it stands for.\n"
                              "Thread-safe: declared safe to run on several threads at once;"]),
    ("odd", "t_code", ["t_code(number) -> number\n\nRaises\n------\nWorksheetError\n"
                       "    first failure\n    second failure\n    third failure"]),
    ("sample", "sample_apply", ["sample_apply(text, number) -> number"]),  # nothing but the signature: nothing else
    ("keywords", "k_latin1", ["WorksheetError\n    trop \ufffdlev\ufffd"]),  # a message's bytes are no UTF-8
], ids=["all of it", "matrix, masked", "no parameter help", "both flags", "messages only", "none",
                                     "not UTF-8"])
def test_help_shows_what_the_table_describes(modules, module, name, fragments):
    f = function_of(modules, module, name)
    for fragment in fragments:
        assert fragment in f.__doc__
    if len(fragments) == 1 and fragments[0].startswith(name):
        assert f.__doc__ == fragments[0]
    shown = pydoc.render_doc(f, renderer=pydoc.plaintext)  # help(f)
    assert all(line in shown for line in f.__doc__.splitlines())
    # The module's listing keeps to the signature lines.
    assert "  " + f.__doc__.partition("\n")[0] in [line.rstrip(">") for line in repr(modules[module]).splitlines()]


def d_ibeta(a, b, x):
    """d_ibeta's twin in Python, for the wording of its TypeErrors."""


# (module, function, positional arguments, keywords, result or (error class, message));
# a message None is the one d_ibeta's twin in Python gives.
KEYWORD_CALLS = [
    ("described", "d_ibeta", (), {"a": 2, "b": 3, "x": 0.5}, 3.5),
    ("described", "d_ibeta", (2,), {"x": 0.5, "b": 3}, 3.5),
    ("described", "d_ibeta", (), {"x": 1, "b": 1, "a": 0}, (efi.WorksheetError, "must be positive (argument 1)")),
    ("described", "d_ibeta", (1, 2, 3), {"y": 1}, (TypeError, None)),
    ("described", "d_ibeta", (1, 2, 3), {"a": 1}, (TypeError, None)),
    ("described", "d_ibeta", (1, 2, 3, 4), {"a": 1}, (TypeError, None)),  # before the count, as Python checks
    ("described", "d_ibeta", (1,), {"b": 2}, (efi.ArgumentCountError, None)),
    ("described", "d_ibeta", (), {"b": 2}, (efi.ArgumentCountError, None)),
    ("described", "d_ibeta", (1, 2), {}, (efi.ArgumentCountError, None)),
    ("described", "d_ibeta", (1, 2, 3, 4), {}, (efi.ArgumentCountError, "d_ibeta() takes 3 arguments (4 given)")),
    ("described", "d_ibeta", (), {}, (efi.ArgumentCountError, None)),  # three names listed
    ("described", "d_ibeta", (), {"a": 1}, (efi.ArgumentCountError, None)),
    ("keywords", "k_poisson", (), {"".join(["lambda", "_"]): 5, "k": 1}, 4.0),  # a name not interned
    ("keywords", "k_poisson", (5,), {"lambda_": 1}, (TypeError, "k_poisson() got multiple values for argument "
                                                                "'lambda_'")),
    ("keywords", "k_poisson", (), {"lambda_": 5, "k": 1}, 4.0),
    ("keywords", "k_poisson", (5,), {"lambda": 1}, (TypeError, "k_poisson() got an unexpected keyword argument "
                                                               "'lambda'")),
    ("sample", "sample_add", (1,), {"number2": 2}, (TypeError, "sample_add() takes no keyword arguments")),
]


@pytest.mark.parametrize("module,name,args,keywords,expected", KEYWORD_CALLS)
def test_keyword_arguments(modules, module, name, args, keywords, expected):
    f = function_of(modules, module, name)
    if not isinstance(expected, tuple):
        assert f(*args, **keywords) == expected
        return
    error, message = expected
    if message is None:
        with pytest.raises(TypeError) as twin:
            d_ibeta(*args, **keywords)
        message = str(twin.value)
    with pytest.raises(error) as e:
        f(*args, **keywords)
    assert str(e.value) == message
    assert isinstance(e.value, efi.WorksheetError) == (error is not TypeError)


@pytest.mark.parametrize("module,name,args,keywords,expected", [
    ("described", "d_ibeta", ([1, 2],), {"b": [3, 4], "x": 0.5}, [2.5, 4.0]),
    ("described", "d_ibeta", ([1, 2], 3), {}, "d_ibeta.map() missing 1 required positional argument: 'x'"),
    ("described", "d_ibeta", ([1, 2], 3, 1), {"z": 1}, "d_ibeta.map() got an unexpected keyword argument 'z'"),
    ("described", "d_ibeta", (), {"b": 1}, "d_ibeta.map() missing 2 required positional arguments: 'a' and 'x'"),
    ("described", "d_ibeta", ([1, 2], 3), {"a": 1}, "d_ibeta.map() got multiple values for argument 'a'"),
    ("described", "d_ibeta", ([1, 2], 3, 1, 2), {"a": 1}, "d_ibeta.map() got multiple values for argument 'a'"),
    ("sample", "sample_add", (1,), {"number2": 2}, "sample_add.map() takes no keyword arguments"),
])
def test_map_takes_columns_by_keyword(modules, module, name, args, keywords, expected):
    f = function_of(modules, module, name)
    if isinstance(expected, list):
        assert f.map(*args, **keywords).tolist() == expected
        return
    with pytest.raises(TypeError) as e:
        f.map(*args, **keywords)
    assert str(e.value) == expected


def test_introspection(sample):
    package = pathlib.Path(efi.__file__).parent
    assert (package / "py.typed").exists() and (package / "_efi.pyi").exists()
    if EFI_CALL.exists():
        out = subprocess.run([str(EFI_CALL), "--version"], check=True, capture_output=True, text=True).stdout
        assert efi.__version__ in out


def test_installed_where_the_interpreter_looks():
    cache = BUILD / "CMakeCache.txt"
    if not cache.exists():
        pytest.skip("not run from a build tree")
    entries = dict(re.findall(r"^(\w+):\w+=(.*)$", cache.read_text(), re.M))
    prefix = pathlib.Path(entries["CMAKE_INSTALL_PREFIX"])
    searched = [pathlib.Path(d) for d in site.getsitepackages() if pathlib.Path(d).is_relative_to(prefix)]
    if not searched:
        pytest.skip(f"the interpreter searches nothing under {prefix}")
    assert prefix / entries["EFI_PYTHON_PACKAGES_DIR"] in searched


def test_listing_matches_efi_call(sample):
    listing = [line for line in repr(sample).splitlines()[1:]]
    assert "  sample_add(number, number) -> number  [thread-safe]" in listing
    help_text = pydoc.render_doc(sample, renderer=pydoc.plaintext)
    assert repr(sample.sample_apply) == "<efi function sample_apply(text, number) -> number>"
    assert sample.sample_apply.__doc__ == "sample_apply(text, number) -> number"
    if not EFI_CALL.exists():
        pytest.fail(f"efi-call was not found where expected: {EFI_CALL}")
    out = subprocess.run([str(EFI_CALL), "--ext", str(SAMPLE), "--list"], check=True,
                         capture_output=True, text=True).stdout.splitlines()
    expected = [line for line in out if line.startswith("sample_")]
    assert [line.strip().rstrip(">") for line in listing] == expected
    for line in expected:
        assert line in help_text
    # Names and flags are listed alike too.
    described = efi.load(DESCRIBED)
    out = subprocess.run([str(EFI_CALL), "--ext", str(DESCRIBED), "--list"], check=True,
                         capture_output=True, text=True).stdout.splitlines()
    assert [line.strip().rstrip(">") for line in repr(described).splitlines()[1:]] == \
        [line for line in out if line.startswith("d_")]


def test_listing_marks_what_can_never_be_called(odd):
    listing = [line.strip().rstrip(">") for line in repr(odd).splitlines()[1:]]
    marked = {line.split("(")[0]: line.split("  (never callable: ")[1][:-1]
              for line in listing if "  (never callable: " in line}
    assert marked == {
        "t_none": "declares 0 arguments; calls take 1 to 10",
        "t_eleven": "declares 11 arguments; calls take 1 to 10",
        "t_bad_arg": "argument 1 has unknown code 5",
        "t_ret0": "unknown return code 0",
        "t_ret3": "unknown return code 3",
    }
    if not EFI_CALL.exists():
        pytest.skip("efi-call not built")
    out = subprocess.run([str(EFI_CALL), "--ext", str(ODD), "--list"], check=True,
                         capture_output=True, text=True).stdout.splitlines()
    assert listing == [line for line in out if line.startswith("t_")]


@pytest.mark.parametrize("path,reason", [
    ("/no/such/module.so", "cannot be loaded"),
    (efi.__file__, "cannot be loaded"),          # not a shared object
    (efi._efi.__file__, "exports no efi_module"),  # a shared object without the table
])
def test_modules_that_cannot_load(path, reason):
    with pytest.raises(efi.ModuleError) as e:
        efi.load(path)
    assert e.value.message.startswith(f'module "{path}": {reason}')


def test_functions_by_item_and_by_attribute(sample, odd):
    assert sample["sample_add"] is sample.sample_add
    assert isinstance(sample, efi.Module) and isinstance(odd, efi.Module)
    # Each module's functions are its own.
    assert not hasattr(odd, "sample_add") and not hasattr(sample, "t_code")
    assert sorted(sample.functions) == sorted(n for n in dir(sample) if n.startswith("sample_"))
    assert pathlib.Path(sample.__file__) == SAMPLE
