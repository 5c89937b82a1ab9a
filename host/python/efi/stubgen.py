"""Type stubs (.pyi) of an extension module, for editors and type checkers.

    python3 -m efi.stubgen path/to/libmod.so -o mod.pyi

writes a class `Module`, a subclass of efi.Module whose methods are the
module's functions: each with its parameters' names (positional-only ones
named by kind and place, number1, ..., when the module's table names none),
their types and the result's as the host takes and gives them, and the
function's summary as its docstring. With the stub where the type checker
finds it (beside the code, or on its search path):

    from typing import TYPE_CHECKING, cast
    if TYPE_CHECKING:
        import mod
    m = cast("mod.Module", efi.load("libmod.so"))

A function whose name is no Python identifier, or is taken by efi.Module,
is reached as an item (m["name"]) and has no method in the stub.
"""
import argparse
import keyword
import sys

__all__ = ["stub_text", "write_stub"]

# What the host takes for an argument of each kind, and gives for a result.
_ARGUMENT_TYPES = {"number": "complex | float", "matrix": "npt.ArrayLike", "text": "str",
                   "file": "str | os.PathLike[str]"}
_RESULT_TYPES = {"number": "float | complex", "matrix": "np.ndarray", "text": "str"}


def _has_method(name):
    from . import Module
    return (name.isidentifier() and not keyword.iskeyword(name) and not hasattr(Module, name)
            and not (name.startswith("__") and name.endswith("__")))


def _docstring(text):
    """`text` as a docstring literal: in triple quotes where it reads the
    same so, else as Python writes a string."""
    if "\\" in text or '"' in text or not text.isprintable():
        return repr(text)
    return f'"""{text}"""'


def _method(name, f):
    kinds = f._kinds
    if f._params:
        parameters = [f"{p}: {_ARGUMENT_TYPES.get(k, 'Any')}" for p, k in zip(f._params, kinds)]
    else:
        parameters = [f"{k}{i}: {_ARGUMENT_TYPES.get(k, 'Any')}" for i, k in enumerate(kinds, 1)]
        if parameters:
            parameters.append("/")
    doc = f._summary or f.__doc__.partition("\n")[0]
    return (f"    def {name}({', '.join(['self'] + parameters)}) -> {_RESULT_TYPES.get(f._result, 'Any')}:\n"
            f"        {_docstring(doc)}\n")


def stub_text(module):
    """The stub of `module` (an efi.Module) as text."""
    methods = [_method(name, f) for name, f in sorted(module.functions.items()) if _has_method(name)]
    return (f"# Types of the functions of the extension module {module.__name__}, written by efi.stubgen.\n"
            "import os\n"
            "from typing import Any\n\n"
            "import numpy as np\n"
            "import numpy.typing as npt\n\n"
            "import efi\n\n\n"
            "class Module(efi.Module):\n"
            f"    {_docstring('The functions of ' + module.__name__ + '.')}\n"
            + "".join(methods))


def write_stub(module, path):
    """Writes the stub of `module` (an efi.Module) to the file `path`."""
    with open(path, "w", encoding="utf-8") as out:
        out.write(stub_text(module))


def main(argv=None):
    from . import ModuleError, load
    parser = argparse.ArgumentParser(prog="python3 -m efi.stubgen",
                                     description="Writes type stubs (.pyi) of an extension module's functions.")
    parser.add_argument("module", help="the module's library, as efi.load takes it")
    parser.add_argument("-o", "--output", help="the stub file to write (default: standard output)")
    args = parser.parse_args(argv)
    try:
        module = load(args.module)
    except ModuleError as e:
        parser.exit(1, f"{parser.prog}: {e}\n")
    if args.output:
        write_stub(module, args.output)
    else:
        sys.stdout.write(stub_text(module))


if __name__ == "__main__":
    main()
