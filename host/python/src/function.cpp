// efi.Function: a CPython type of its own with a vectorcall entry, so a call
// from Python reaches the bridge without an argument tuple or a generic
// dispatcher in between (a two-number call is a few hundred nanoseconds).
#include "function.h"

#include <structmember.h>

#include <cstddef>
#include <span>

#include "call.h"
#include "values.h"

namespace efi_python {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Callable* callable;  // owned
};

PyTypeObject* g_function_type = nullptr;  // made at import, kept to the end


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

PyObject* Call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Callable& c = *reinterpret_cast<FunctionObject*>(self)->callable;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", c.name.c_str());
        return nullptr;
    }
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    const std::size_t count = static_cast<std::size_t>(n) + (c.hidden ? 1 : 0);
    HostArgs host(count);
    Vrn::Run::Object* out = host.data();
    if (c.hidden) *out++ = c.cwd->host;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!ToHost(args[i], *out++, static_cast<int>(i + 1))) return nullptr;
    const auto* f = c.function.as<Vrn::Run::Function>();
    const std::span<const Vrn::Run::Object> span(host.data(), count);
    auto result = RunInBridge([&] { return f->Call(span); });
    return result ? FromHost(*result) : nullptr;
}

void Dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<FunctionObject*>(self)->callable;
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold their type
}

PyObject* Repr(PyObject* self) {
    const Callable& c = *reinterpret_cast<FunctionObject*>(self)->callable;
    return PyUnicode_FromFormat("<efi function %s>", c.Signature().c_str());
}

PyObject* GetName(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->callable->name.c_str());
}

PyObject* GetDoc(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->callable->Signature().c_str());
}

PyGetSetDef g_getset[] = {
    {"__name__", &GetName, nullptr, "the function's worksheet name", nullptr},
    {"__doc__", &GetDoc, nullptr, "the signature, as efi-call --list writes it", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace


std::string Callable::Signature() const {
    std::string s = name + "(";
    for (std::size_t k = 0; k < args.size(); ++k) s += (k ? ", " : "") + std::string(Efi::ValueKindName(args[k]));
    return s + ") -> " + Efi::ValueKindName(ret);
}

bool InitFunctionType(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&Repr)},
        {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
        {Py_tp_getset, g_getset},
        {Py_tp_members, g_members},
        {0, nullptr},
    };
    PyType_Spec spec = {"efi.Function", sizeof(FunctionObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!g_function_type) return false;
    Py_INCREF(g_function_type);
    return PyModule_AddObject(module, "Function", reinterpret_cast<PyObject*>(g_function_type)) == 0;
}

PyObject* NewFunction(Callable c) {
    auto* self = PyObject_New(FunctionObject, g_function_type);
    if (!self) return nullptr;
    self->vectorcall = &Call;
    self->callable = new Callable(std::move(c));
    return reinterpret_cast<PyObject*>(self);
}

const Callable* CallableOf(PyObject* o) {
    if (!PyObject_TypeCheck(o, g_function_type)) return nullptr;
    return reinterpret_cast<FunctionObject*>(o)->callable;
}

}  // namespace efi_python
