"""The extension's type stubs (efi/_efi.pyi) say what the built extension
has: the same names in the module and in each class, of the same kind, and
the same parameters wherever the extension writes a function's signature."""
import ast
import inspect
import pathlib
import types

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
    return "class" if isinstance(obj, type) else "function" if inspect.isroutine(obj) else "attribute"


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
