"""A loaded module's functions are held by its class as methods: one called
from the class's own table takes the module first, as any method does;
looked up on the module or its class, each is the module's function."""
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
