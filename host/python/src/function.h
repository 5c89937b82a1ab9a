// efi.Function: one host function (a module's registered native function or
// a built-in conversion) as a Python callable.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <efi/host/bridge.h>
#include <efi/host/signature.h>
#include <vrnrun/vrnrun.h>

namespace efi_python {

/// What a function's argument or result is, as `efi-call --list` names it.
using Kind = Efi::ValueKind;

/// The directory a module's file-name arguments are relative to: the host
/// text the bridge joins names to (with its final '/'), or null for none.
struct Directory {
    Vrn::Run::Object host;
};

/// Everything a call needs, fixed when the function object is made.
struct Callable {
    std::string name;
    std::vector<Kind> args;
    Kind ret;
    Vrn::Run::Object function;       ///< the host function object
    bool hidden;                     ///< takes the directory first, unseen by Python
    std::shared_ptr<Directory> cwd;  ///< the module's directory (hidden functions)
    /// The registered function when it takes and returns numbers only:
    /// such a call with Python numbers skips the host values.
    Efi::User::Function* numbers = nullptr;
    /// Why no call of it can succeed (the loader's text), or empty.
    std::string never_callable = {};

    /// "name(number, number) -> number", as efi-call --list writes it, with
    /// "  (never callable: why)" after it for a function no call can succeed for.
    std::string Signature() const;
};

/// Readies the type; call once, at import. False with a Python error set.
bool InitFunctionType(PyObject* module);

/// A new efi.Function for `c`, or null with a Python error set.
PyObject* NewFunction(Callable c);

/// A new efi.Method for the efi.Function `function`: what a module's class
/// holds for it. Null with a Python error set.
PyObject* NewMethod(PyObject* function);

/// The callable of an efi.Function, or null when `o` is not one.
const Callable* CallableOf(PyObject* o);

}  // namespace efi_python
