// efi.Function: one host function (a module's registered native function or
// a built-in conversion) as a Python callable.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <efi/host/bridge.h>
#include <efi/host/session.h>
#include <vrnrun/vrnrun.h>

#include "call.h"

namespace efi_python {

/// The directory a module's file-name arguments are relative to: the host
/// text the bridge joins names to (with its final '/'), or null for none.
struct Directory {
    Vrn::Run::Object host;
    PyObject* python = nullptr;  ///< the same as a str, or None; owned (set and freed with the GIL)
    ~Directory() { Py_XDECREF(python); }
};

/// Everything a call needs, fixed when the function object is made: the
/// session's record of the function and, for one that takes the
/// directory, its module's.
struct Callable {
    Efi::LoadedFunction fn;
    std::shared_ptr<Directory> cwd;
    /// Native code gets its text arguments narrow, one byte a character
    /// (a module's function; the conversions read host text).
    bool narrowText = false;
    /// What its calls take of the process's turn (TurnOf).
    TurnKind turn = TurnKind::kAlone;
};

/// What the calls of `fn` take of the process's turn: a share for a
/// function its module declares thread-safe, nothing for one of an
/// isolated module (its worker's channel takes one call at a time), the
/// whole turn for any other.
TurnKind TurnOf(const Efi::LoadedFunction& fn);

/// Readies the type; call once, at import. False with a Python error set.
bool InitFunctionType(PyObject* module);

/// A call of `fn` (or of its `method`, e.g. ".map") with the wrong number
/// of arguments: raises the Python error for it (ArgumentCountError, a
/// TypeError and the worksheet error the bridge would raise); null.
PyObject* RaiseArgumentCount(const Efi::LoadedFunction& fn, Py_ssize_t given, const char* method = "");

/// The same for the efi.Function `function`, in Python's words when it
/// has named parameters and is given too few ("f() missing 1 required
/// positional argument: 'x'").
PyObject* RaiseWrongCount(PyObject* function, Py_ssize_t given, const char* method = "");

/// The arguments of a call of the efi.Function `function` that names some
/// by keyword (`kwnames`, their values after the `nargs` positional ones in
/// `args`), in parameter order in `bound` (borrowed). A keyword no
/// parameter has, one given twice, or a count that does not fit raises the
/// TypeError Python's own functions raise, worded alike; false then.
bool BindKeywords(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* method,
                  std::vector<PyObject*>& bound);

/// A new efi.Function for `c`, or null with a Python error set.
PyObject* NewFunction(Callable c);

/// A new efi.Method for the efi.Function `function`: what a module's class
/// holds for it. Null with a Python error set.
PyObject* NewMethod(PyObject* function);

/// The callable of an efi.Function, or null when `o` is not one.
const Callable* CallableOf(PyObject* o);

}  // namespace efi_python
