// efi.Function: a CPython type of its own with a vectorcall entry, so a call
// from Python reaches the bridge without an argument tuple or a generic
// dispatcher in between (a two-number call is a few hundred nanoseconds).
#include "function.h"

#include <structmember.h>

#include <cstddef>
#include <span>

#include "call.h"
#include "sweep.h"
#include "values.h"

namespace efi_python {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Callable* callable;  // owned
};

PyTypeObject* g_function_type = nullptr;  // made at import, kept to the end

const Efi::LoadedFunction& FunctionOf(PyObject* self) { return reinterpret_cast<FunctionObject*>(self)->callable->fn; }

// efi.Method: a function as its module's class holds it, the way a class
// holds a Python function. `m.f(x)` then finds f as Python finds a method,
// on the fast path it keeps for method calls, and calls the method with m
// first; an attribute of the instance is looked up the slow way for a call.
// Like a function in a class, it gives the function itself when read as an
// attribute (`m.f`), and a call through it passes what follows the module.
struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* function;  // an efi.Function, owned
};

PyTypeObject* g_method_type = nullptr;  // made at import, kept to the end

/// Host arguments of a call; up to the bridge's ten and the directory
/// without an allocation.
class HostArgs {
public:
    explicit HostArgs(std::size_t n) {
        if (n > kInline) m_more.resize(n);
    }
    Vrn::Run::Object* data() { return m_more.empty() ? m_inline : m_more.data(); }

private:
    static constexpr std::size_t kInline = 11;
    Vrn::Run::Object m_inline[kInline];
    std::vector<Vrn::Run::Object> m_more;
};

/// The call of a function that takes and returns numbers, when every
/// argument is a Python number: the same call as with host numbers, and
/// its errors. Null with no error set when an argument is something else,
/// which the general path then converts (or refuses) as usual.
PyObject* CallWithNumbers(Efi::User::Function& f, PyObject* const* args, Py_ssize_t n) {
    qlComplex numbers[Efi::User::kMaxArgs];
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!NumberOf(args[i], numbers[i])) return nullptr;
    const std::span<const qlComplex> span(numbers, static_cast<std::size_t>(n));
    auto result = RunInBridge([&] { return f.CallWithNumbers(span); });
    return result ? FromNumber(*result) : nullptr;
}

}  // namespace

PyObject* RaiseArgumentCount(const Efi::LoadedFunction& fn, Py_ssize_t given, const char* method) {
    const std::size_t takes = fn.args.size();
    PyObject* message = PyUnicode_FromFormat("%s%s() takes %zu argument%s (%zd given)", fn.name.c_str(), method, takes,
                                             takes == 1 ? "" : "s", given);
    if (!message) return nullptr;
    RaiseArgumentError(message);
    return nullptr;
}

namespace {

/// True when the bridge can call `fn` at all: with 1 to 10 arguments (it
/// refuses the others whatever they are given, "maximum 10 arguments").
bool BridgeCanCall(const Efi::LoadedFunction& fn) {
    return !fn.args.empty() && fn.args.size() <= static_cast<std::size_t>(Efi::User::kMaxArgs);
}

/// Narrow text holds one byte a character, U+0000 to U+00FF: a text with
/// others would reach native code with other characters in their place.
bool FitsNarrowText(PyObject* o, int argument) {
    if (!PyUnicode_Check(o) || PyUnicode_MAX_CHAR_VALUE(o) <= 0xFF) return true;
    PyErr_Format(PyExc_ValueError, "argument %d: native code takes text of characters U+0000 to U+00FF only", argument);
    return false;
}

PyObject* CallUnguarded(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Callable& c = *reinterpret_cast<FunctionObject*>(self)->callable;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", c.fn.name.c_str());
        return nullptr;
    }
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(n) != c.fn.args.size() && BridgeCanCall(c.fn)) return RaiseArgumentCount(c.fn, n);
    if (c.fn.numbers && static_cast<std::size_t>(n) == c.fn.args.size()) {
        if (PyObject* r = CallWithNumbers(*c.fn.numbers, args, n); r || PyErr_Occurred()) return r;
    }
    const std::size_t count = static_cast<std::size_t>(n) + (c.fn.takesDirectory ? 1 : 0);
    HostArgs host(count);
    Vrn::Run::Object* out = host.data();
    if (c.fn.takesDirectory) *out++ = c.cwd->host;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int argument = static_cast<int>(i + 1);
        if (c.narrowText && static_cast<std::size_t>(i) < c.fn.args.size() &&
            c.fn.args[static_cast<std::size_t>(i)] == Efi::ValueKind::Text && !FitsNarrowText(args[i], argument))
            return nullptr;
        if (!ToHost(args[i], *out++, argument)) return nullptr;
    }
    const auto* f = c.fn.function.as<Vrn::Run::Function>();
    const std::span<const Vrn::Run::Object> span(host.data(), count);
    auto result = RunInBridge([&] { return f->Call(span); });
    return result ? FromHost(*result) : nullptr;
}

PyObject* Call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return GuardEntry([&] { return CallUnguarded(self, args, nargsf, kwnames); });
}

PyObject* CallMethod(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* function = reinterpret_cast<MethodObject*>(self)->function;
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n < 1) {
        PyErr_Format(PyExc_TypeError, "%s() of a module needs the module first", FunctionOf(function).name.c_str());
        return nullptr;
    }
    // args[0], the module, may serve as the slot before the arguments.
    return Call(function, args + 1, static_cast<std::size_t>(n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

PyObject* GetMethodFunction(PyObject* self, PyObject*, PyObject*) {
    PyObject* function = reinterpret_cast<MethodObject*>(self)->function;
    Py_INCREF(function);
    return function;
}

void DeallocMethod(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_DECREF(reinterpret_cast<MethodObject*>(self)->function);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef g_method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

bool InitMethodType() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&DeallocMethod)},
        {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(&GetMethodFunction)},
        {Py_tp_members, g_method_members},
        {0, nullptr},
    };
    PyType_Spec spec = {"efi.Method", sizeof(MethodObject), 0,
                        // Python takes its fast path only for a method of an immutable type.
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        slots};
    g_method_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_method_type != nullptr;
}

void Dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<FunctionObject*>(self)->callable;
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold their type
}

PyObject* Repr(PyObject* self) {
    return GuardEntry([&] { return PyUnicode_FromFormat("<efi function %s>", FunctionOf(self).Signature().c_str()); });
}

PyObject* GetName(PyObject* self, void*) { return PyUnicode_FromString(FunctionOf(self).name.c_str()); }

PyObject* GetDoc(PyObject* self, void*) {
    return GuardEntry([&] { return PyUnicode_FromString(FunctionOf(self).Signature().c_str()); });
}

// Where the function comes from, for pickling: the module's path (or
// "built-in") and the directory its file-name arguments are relative to.
PyObject* GetOrigin(PyObject* self, void*) { return PyUnicode_FromString(FunctionOf(self).origin.c_str()); }

PyObject* GetCwd(PyObject* self, void*) {
    const Callable& c = *reinterpret_cast<FunctionObject*>(self)->callable;
    PyObject* cwd = c.cwd && c.cwd->python ? c.cwd->python : Py_None;
    Py_INCREF(cwd);
    return cwd;
}

PyObject* GetKinds(PyObject* self, void*) {
    const Efi::LoadedFunction& fn = FunctionOf(self);
    PyObject* kinds = PyTuple_New(static_cast<Py_ssize_t>(fn.args.size()));
    if (!kinds) return nullptr;
    for (std::size_t i = 0; i < fn.args.size(); ++i) {
        PyObject* name = PyUnicode_FromString(Efi::ValueKindName(fn.args[i]));
        if (!name) {
            Py_DECREF(kinds);
            return nullptr;
        }
        PyTuple_SET_ITEM(kinds, static_cast<Py_ssize_t>(i), name);
    }
    return kinds;
}

PyGetSetDef g_getset[] = {
    {"__name__", &GetName, nullptr, "the function's worksheet name", nullptr},
    {"_origin", &GetOrigin, nullptr, "the module's path, or \"built-in\"", nullptr},
    {"_cwd", &GetCwd, nullptr, "the directory of its module's file-name arguments (str or None)", nullptr},
    {"_kinds", &GetKinds, nullptr, "the kind of each argument (\"number\", \"matrix\", \"text\", \"file\")", nullptr},
    {"__doc__", &GetDoc, nullptr, "the signature, as efi-call --list writes it", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_methods[] = {
    {"map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Map)), METH_FASTCALL, kMapDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool InitFunctionType(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&Repr)},
        {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
        {Py_tp_getset, g_getset},
        {Py_tp_members, g_members},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"efi.Function", sizeof(FunctionObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!g_function_type || !InitMethodType()) return false;
    Py_INCREF(g_function_type);
    return PyModule_AddObject(module, "Function", reinterpret_cast<PyObject*>(g_function_type)) == 0;
}

PyObject* NewFunction(Callable c) {
    auto* self = PyObject_New(FunctionObject, g_function_type);
    if (!self) return nullptr;
    self->vectorcall = &Call;
    c.narrowText = Efi::User::Function::Of(c.fn.function) != nullptr;
    self->callable = new Callable(std::move(c));
    return reinterpret_cast<PyObject*>(self);
}

PyObject* NewMethod(PyObject* function) {
    if (!PyObject_TypeCheck(function, g_function_type)) {
        PyErr_SetString(PyExc_TypeError, "a method is made of an efi.Function");
        return nullptr;
    }
    auto* self = PyObject_New(MethodObject, g_method_type);
    if (!self) return nullptr;
    self->vectorcall = &CallMethod;
    Py_INCREF(function);
    self->function = function;
    return reinterpret_cast<PyObject*>(self);
}

const Callable* CallableOf(PyObject* o) {
    if (!PyObject_TypeCheck(o, g_function_type)) return nullptr;
    return reinterpret_cast<FunctionObject*>(o)->callable;
}

}  // namespace efi_python
