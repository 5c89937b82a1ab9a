"""A loaded module's functions are held by its class as methods: one called
from the class's own table takes the module first, as any method does;
looked up on the module or its class, each is the module's function. The
module and its functions document themselves, and the package's errors
show the caller's frames only."""
import os
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
