"""The extension's type stubs (efi/_efi.pyi) say what the built extension
has: the same names in the module and in each class, of the same kind, and
the same parameters wherever the extension writes a function's signature;
and the stubs efi.stubgen writes of a module say what its functions take."""
import ast
import inspect
import os
import pathlib
import subprocess
import sys
import types

import pytest

import efi
from conftest import DESCRIBED, KEYWORDS, PACKAGE_ROOT, SAMPLE
from efi import _efi

STUB = pathlib.Path(__file__).resolve().parents[1] / "efi" / "_efi.pyi"


def parameters(args):
    """A parameter list as comparable text: "name", "name=" for one with a
    default, "/" for a positional-only one (pybind11's unnamed argN),
    "*args", "**kwargs"; a leading self is left out."""
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    out = []
    for i, (p, default) in enumerate(zip(positional, defaults)):
        if i == 0 and p.arg == "self":
            continue
        unnamed = i < len(args.posonlyargs) or (p.arg.startswith("arg") and p.arg[3:].isdigit())
        out.append(("/" if unnamed else p.arg) + ("=" if default is not None else ""))
    if args.vararg:
        out.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        out.append("*")
    out += [p.arg + ("=" if d is not None else "") for p, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        out.append("**" + args.kwarg.arg)
    return out


def extension_parameters(name, routine):
    """The parameters of a routine as its signature says, the one Python
    keeps (__text_signature__) or the first line of its doc ("f(a: int,
    b: str = 'x') -> None"), or None when it has neither."""
    signature = getattr(routine, "__text_signature__", None)
    if signature:
        signature = signature.replace("$", "")
    else:
        doc = routine.__doc__ or ""
        if not doc.startswith(name + "("):
            return None
        depth = 0
        for end, c in enumerate(doc[len(name):], len(name)):
            depth += {"(": 1, ")": -1}.get(c, 0)
            if depth == 0:
                break
        signature = doc[len(name):end + 1]
    return parameters(ast.parse(f"def f{signature}: pass").body[0].args)


def kind(obj):
    # An efi.Function is a routine to inspect; the stub declares one as an
    # attribute of that class (`fif: Function`), which has `map` too.
    if isinstance(obj, type):
        return "class"
    return "function" if inspect.isroutine(obj) and type(obj) is not _efi.Function else "attribute"


def compare(where, stub_body, owner, extension_names, differences):
    """Adds to `differences` each way the stub's declarations of `owner`
    and the extension's disagree. Names of the form __x__ the extension has
    of its own (__file__, __repr__) need no declaration."""
    declared = {}
    for node in stub_body:
        if isinstance(node, ast.ClassDef):
            declared[node.name] = ("class", node)
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = ("function", node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared[node.target.id] = ("attribute", node)
    for name in sorted(n for n in extension_names if not n.startswith("__") and n not in declared):
        differences.append(f"{where}{name}: in the extension, not in the stub")
    for name, (stub_kind, node) in declared.items():
        if not hasattr(owner, name):
            differences.append(f"{where}{name}: in the stub, not in the extension")
            continue
        obj = getattr(owner, name)
        if kind(obj) != stub_kind:
            differences.append(f"{where}{name}: {stub_kind} in the stub, {kind(obj)} in the extension")
        elif stub_kind == "class":
            compare(f"{where}{name}.", node.body, obj, vars(obj), differences)
        elif stub_kind == "function" and not isinstance(obj, types.WrapperDescriptorType):
            # A slot's wrapper (__call__) has a generic signature: nothing to compare.
            theirs, ours = extension_parameters(name, obj), parameters(node.args)
            if theirs is not None and theirs != ours:
                differences.append(f"{where}{name}: parameters ({', '.join(ours)}) in the stub, "
                                   f"({', '.join(theirs)}) in the extension")


def test_the_stub_declares_what_the_extension_has():
    differences = []
    compare("", ast.parse(STUB.read_text()).body, _efi, dir(_efi), differences)
    assert not differences, f"{STUB} disagrees with {_efi.__file__}:\n" + "\n".join(differences)


# The stubs efi.stubgen writes of a module, for editors and type checkers.
def stub_methods(text):
    """The methods of the stub's class Module: name -> (parameters as
    written, the result's annotation, the docstring)."""
    tree = ast.parse(text)
    (module,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Module"]
    assert ast.unparse(module.bases[0]) == "efi.Module"
    out = {}
    for node in module.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            written = [f"{a.arg}: {ast.unparse(a.annotation)}" for a in args.posonlyargs + args.args if a.arg != "self"]
            if args.posonlyargs:
                written.insert(len(args.posonlyargs) - 1, "/")  # self is one of them
            out[node.name] = (", ".join(written), ast.unparse(node.returns), ast.get_docstring(node))
    return out


@pytest.mark.parametrize("module,name,params,result,doc", [
    ("described", "d_ibeta", "a: complex | float, b: complex | float, x: complex | float", "float | complex",
     "A stand-in for the regularised incomplete beta."),
    ("described", "d_log_m", "M: npt.ArrayLike", "np.ndarray", "Element-wise natural logarithm."),
    ("described", "d_sqrt", "x: complex | float", "float | complex", "d_sqrt(x: number) -> number  [masked]"),
    ("keywords", "k_poisson", "lambda_: complex | float, k: complex | float", "float | complex", "lambda - k."),
    ("sample", "sample_add", "number1: complex | float, number2: complex | float, /", "float | complex",
     "sample_add(number, number) -> number  [thread-safe]"),
    ("sample", "sample_path", "file1: str | os.PathLike[str], /", "str", "sample_path(file) -> text  [thread-safe]"),
    ("sample", "sample_upper", "text1: str, /", "str", "sample_upper(text) -> text  [thread-safe]"),
])
def test_stubs_of_a_module(tmp_path, module, name, params, result, doc):
    path = {"sample": SAMPLE, "described": DESCRIBED, "keywords": KEYWORDS}[module]
    if not path.exists():
        pytest.skip(f"{path} not built")
    out = tmp_path / "mod.pyi"
    run = subprocess.run([sys.executable, "-m", "efi.stubgen", str(path), "-o", str(out)], check=True,
                         env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), capture_output=True, text=True)
    assert run.stdout == run.stderr == ""
    methods = stub_methods(out.read_text())
    assert methods[name] == (params, result, doc)
    # Every function reachable as an attribute has its method, parameters named as the call takes them.
    loaded = efi.load(path)
    assert sorted(methods) == sorted(n for n in loaded.functions if hasattr(type(loaded), n))
    for n, (written, _, _) in methods.items():
        assert [p.split(":")[0] for p in written.split(", ") if p != "/"] == \
            list(inspect.signature(loaded[n]).parameters)


def test_a_type_checker_holds_calls_to_the_stub(tmp_path, monkeypatch):
    api = pytest.importorskip("mypy.api")
    if not DESCRIBED.exists():
        pytest.skip(f"{DESCRIBED} not built")
    efi.write_stub(efi.load(DESCRIBED), tmp_path / "mod.pyi")
    use = tmp_path / "use.py"
    use.write_text("import mod\n\n\n"
                   "def f(m: mod.Module) -> None:\n"
                   "    r: float | complex = m.d_ibeta(2, x=0.5, b=3) + m.d_scale(1j, factor=2)\n"
                   "    m.d_log_m([[1.0, 2.0]]).sum()\n"
                   "    m.d_ibeta(1, 2, y=3)\n"         # line 7: no parameter y
                   "    m.d_grid('4')\n"                # line 8: a number as text
                   "    m.d_sqrt(x=1.0).upper()\n")     # line 9: a number has no upper()
    monkeypatch.setenv("MYPYPATH", PACKAGE_ROOT)
    monkeypatch.chdir(tmp_path)
    report, _, status = api.run(["use.py", "--no-incremental", "--cache-dir", os.devnull])
    errors = sorted({int(line.split(":")[1]) for line in report.splitlines() if ": error:" in line})
    assert (status, errors) == (1, [7, 8, 9]), report
