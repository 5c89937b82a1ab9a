// Function.map: a function of numbers over arrays, as one sweep of the
// bridge.
#pragma once

#include <Python.h>

namespace efi_python {

/// The method `map` of efi.Function (METH_FASTCALL | METH_KEYWORDS).
PyObject* Map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// Its docstring.
extern const char* const kMapDoc;

}  // namespace efi_python
