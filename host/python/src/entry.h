// efi._entry: the package's Python functions as callers reach them (efi.load,
// Module(...)), raising without the package's own frames.
#pragma once

#include <Python.h>

namespace efi_python {

/// Adds efi._entry(function) to `module`; call once, at import. False with a
/// Python error set.
bool InitEntryType(PyObject* module);

}  // namespace efi_python
