"""A loaded module's functions are held by its class as methods: one called
from the class's own table takes the module first, as any method does;
looked up on the module or its class, each is the module's function. The
module and its functions document themselves, and the package's errors
show the caller's frames only."""
import inspect
import os
import pickle
import pydoc
import traceback

import pytest

import efi


def test_functions_held_as_methods(sample):
    cls = type(sample)
    method = vars(cls)["sample_add"]
    assert method(sample, 1, 2) == 3.0
    with pytest.raises(TypeError, match=r"sample_add\(\) of a module needs the module first"):
        method()
    assert cls.sample_add is sample.sample_add
    assert cls.sample_add(1, 2) == 3.0
    with pytest.raises(TypeError, match="a method is made of an efi.Function"):
        efi._efi._method(len)


def _set_cwd(m, value):
    m.cwd = value


@pytest.mark.parametrize("call,error", [
    (lambda m: efi.load("/nonexistent/libnone.so"), efi.ModuleError),
    (lambda m: efi.Module("libnone.so"), efi.ModuleError),
    (lambda m: efi.load("libnone.so", timeout=1), ValueError),
    (lambda m: m["none"], KeyError),
    (lambda m: _set_cwd(m, 5), TypeError),
], ids=["load", "Module", "a refused option", "an item", "cwd"])
def test_errors_carry_no_frames_of_the_package(sample, call, error):
    with pytest.raises(error) as e:
        call(sample)
    files = [frame.filename for frame in traceback.extract_tb(e.value.__traceback__)]
    assert files[-1] == __file__
    assert not [f for f in files if f.startswith(os.path.dirname(efi.__file__))]


def test_the_wrapped_entries_still_pickle_by_name():
    assert pickle.loads(pickle.dumps(efi.load)) is efi.load  # to a pool's workers, as a function goes


def test_help_and_inspect_show_the_module_and_its_functions(modules):
    if "described" not in modules:
        pytest.skip("the described module is not built")
    m = modules["described"]
    shown = pydoc.render_doc(m, renderer=pydoc.plaintext)  # help(m): a module's page
    assert "\nFUNCTIONS\n    d_callback_guarded(name: str, x: complex)\n" in shown
    assert "\n    d_grid(n: complex)\n        d_grid(n: number) -> matrix\n" in shown
    assert "\n            must be at most 50\n" in shown
    assert shown.endswith(f"\nFILE\n    {os.path.abspath(m.__file__)}\n\n")
    assert "__reduce__" not in shown and "Method resolution order" not in shown
    f = m.d_grid
    assert pydoc.render_doc(f, renderer=pydoc.plaintext).splitlines()[2:4] == [
        "d_grid(n: complex)", "    d_grid(n: number) -> matrix"]  # help(m.f): a function's
    assert inspect.getfile(f) == inspect.getfile(m) == m.__file__
    assert (type(f), type(m).__base__, inspect.getfile(efi.fif)) == (efi.Function, efi.Module, "<built-in>")
    oinspect = pytest.importorskip("IPython.core.oinspect")
    assert oinspect.find_file(f) == oinspect.find_file(m) == os.path.abspath(m.__file__)  # m.f? and m?
