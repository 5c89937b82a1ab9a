// efi.Function: a CPython type of its own with a vectorcall entry, so a call
// from Python reaches the bridge without an argument tuple or a generic
// dispatcher in between (a two-number call is a few hundred nanoseconds).
#include "function.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "call.h"
#include "sweep.h"
#include "values.h"

namespace efi_python {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Callable* callable;  // owned
    /// The parameters' names in Python (a tuple of interned str), or null
    /// when the module's table names none: the call then takes no keywords.
    PyObject* names;  // owned
};

PyTypeObject* g_function_type = nullptr;  // made at import, kept to the end
PyObject* g_is_keyword = nullptr;         // keyword.iskeyword, found at import, kept to the end

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
PyObject* CallWithNumbers(Efi::User::Function& f, TurnKind turn, PyObject* const* args, Py_ssize_t n) {
    qlComplex numbers[Efi::User::kMaxArgs];
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!NumberOf(args[i], numbers[i])) return nullptr;
    const std::span<const qlComplex> span(numbers, static_cast<std::size_t>(n));
    auto result = RunInBridge(turn, [&] { return f.CallWithNumbers(span); });
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

/// "'x'", "'a' and 'x'", "'a', 'b', and 'x'": the missing parameters as
/// Python's own functions list them.
std::string QuotedList(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) out += names.size() > 2 ? ", " : " ";
        if (k > 0 && k + 1 == names.size()) out += "and ";
        out += std::string("'") + names[k] + "'";
    }
    return out;
}

/// The parameters of `self` that `bound` leaves empty, reported as Python
/// reports a call without them (an ArgumentCountError, a TypeError).
PyObject* RaiseMissing(const FunctionObject* self, std::span<PyObject* const> bound, const char* method) {
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < bound.size(); ++k)
        if (!bound[k]) {
            const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(self->names, static_cast<Py_ssize_t>(k)));
            if (!name) return nullptr;
            missing.push_back(name);
        }
    PyObject* message =
        PyUnicode_FromFormat("%s%s() missing %zu required positional argument%s: %s", self->callable->fn.name.c_str(),
                             method, missing.size(), missing.size() == 1 ? "" : "s", QuotedList(missing).c_str());
    if (!message) return nullptr;
    RaiseArgumentError(message);
    return nullptr;
}

/// The place of the parameter named `key`, -1 for none.
Py_ssize_t ParameterIndex(PyObject* names, PyObject* key) {
    const Py_ssize_t count = PyTuple_GET_SIZE(names);
    // Names written in the caller's code are interned, as these are.
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key) == 0) return i;
    return -1;
}

}  // namespace

PyObject* RaiseWrongCount(PyObject* function, Py_ssize_t given, const char* method) {
    const auto* self = reinterpret_cast<FunctionObject*>(function);
    const Efi::LoadedFunction& fn = self->callable->fn;
    if (!self->names || static_cast<std::size_t>(given) >= fn.args.size()) return RaiseArgumentCount(fn, given, method);
    std::vector<PyObject*> bound(fn.args.size(), nullptr);
    std::fill_n(bound.begin(), given, Py_None);  // given, whatever they are
    return RaiseMissing(self, bound, method);
}

bool BindKeywords(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* method,
                  std::vector<PyObject*>& bound) {
    const auto* self = reinterpret_cast<FunctionObject*>(function);
    const Efi::LoadedFunction& fn = self->callable->fn;
    if (!self->names) {
        PyErr_Format(PyExc_TypeError, "%s%s() takes no keyword arguments", fn.name.c_str(), method);
        return false;
    }
    // In Python's own order: each keyword checked, then the count.
    const Py_ssize_t count = PyTuple_GET_SIZE(self->names);
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    bound.assign(static_cast<std::size_t>(std::max(nargs, count)), nullptr);
    std::copy_n(args, nargs, bound.begin());
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t i = ParameterIndex(self->names, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s%s() got an unexpected keyword argument '%U'", fn.name.c_str(), method,
                         key);
            return false;
        }
        if (bound[static_cast<std::size_t>(i)]) {
            PyErr_Format(PyExc_TypeError, "%s%s() got multiple values for argument '%U'", fn.name.c_str(), method,
                         PyTuple_GET_ITEM(self->names, i));
            return false;
        }
        bound[static_cast<std::size_t>(i)] = args[nargs + k];
    }
    if (nargs > count) {
        RaiseArgumentCount(fn, nargs + keywords, method);
        return false;
    }
    if (std::find(bound.begin(), bound.end(), nullptr) != bound.end()) {
        RaiseMissing(self, bound, method);
        return false;
    }
    return true;
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

PyObject* CallUnguarded(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

/// A call that names arguments: the same call with them in their places.
/// Off the path of a call with positional arguments only.
PyObject* CallWithKeywords(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    std::vector<PyObject*> bound;
    if (!BindKeywords(self, args, PyVectorcall_NARGS(nargsf), kwnames, "", bound)) return nullptr;
    return CallUnguarded(self, bound.data(), bound.size(), nullptr);
}

PyObject* CallUnguarded(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Callable& c = *reinterpret_cast<FunctionObject*>(self)->callable;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) return CallWithKeywords(self, args, nargsf, kwnames);
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(n) != c.fn.args.size() && BridgeCanCall(c.fn)) return RaiseWrongCount(self, n);
    if (c.fn.numbers && static_cast<std::size_t>(n) == c.fn.args.size()) {
        if (PyObject* r = CallWithNumbers(*c.fn.numbers, c.turn, args, n); r || PyErr_Occurred()) return r;
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
    auto result = RunInBridge(c.turn, [&] { return f->Call(span); });
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
    Py_XDECREF(reinterpret_cast<FunctionObject*>(self)->names);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold their type
}

PyObject* Repr(PyObject* self) {
    return GuardEntry([&] { return PyUnicode_FromFormat("<efi function %s>", FunctionOf(self).Signature().c_str()); });
}

PyObject* GetName(PyObject* self, void*) { return PyUnicode_FromString(FunctionOf(self).name.c_str()); }

/// Text indented under a heading of a numpy-style docstring, line by line.
void AddIndented(std::string& doc, const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        doc += "    " + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
}

/// The signature line (flags marked), then what the module's table says,
/// laid out as a numpy docstring: summary, help, parameters, flags, and the
/// messages the function raises. The signature alone for a function its
/// table does not describe.
std::string Docstring(const FunctionObject* self) {
    const Efi::LoadedFunction& fn = self->callable->fn;
    const Efi::FunctionDescription& d = fn.description;
    std::string doc = fn.Signature() + "\n";
    for (const std::string* text : {&d.summary, &d.help})
        if (!text->empty()) doc += "\n" + *text + "\n";
    if (self->names) {
        doc += "\nParameters\n----------\n";
        for (std::size_t k = 0; k < fn.args.size(); ++k) {
            doc += PyUnicode_AsUTF8(PyTuple_GET_ITEM(self->names, static_cast<Py_ssize_t>(k)));
            doc += std::string(" : ") + Efi::ValueKindName(fn.args[k]) + "\n";
            if (k < d.paramHelp.size() && !d.paramHelp[k].empty()) AddIndented(doc, d.paramHelp[k]);
        }
    }
    if (d.masked || d.threadSafe) doc += "\nNotes\n-----\n";
    if (d.masked)
        doc +=
            "Masked: runs with floating-point exceptions masked; an infinite or NaN\n"
            "result of finite arguments is reported as the fault it stands for.\n";
    if (d.threadSafe)
        doc +=
            "Thread-safe: declared safe to run on several threads at once; calls from\n"
            "several Python threads run at once, and map sweeps on several (threads=).\n";
    if (!d.messages.empty()) {
        doc += "\nRaises\n------\nWorksheetError\n";
        for (const std::string& message : d.messages) AddIndented(doc, message);
    }
    doc.pop_back();  // the last newline
    return doc;
}

PyObject* GetDoc(PyObject* self, void*) {
    return GuardEntry([&] {
        // A table's messages are bytes the loader does not check (tables of
        // version 1 have them too): a byte that is no UTF-8 shows as U+FFFD
        // rather than leave the function, and its module's listing, without
        // a docstring.
        const std::string doc = Docstring(reinterpret_cast<FunctionObject*>(self));
        return PyUnicode_DecodeUTF8(doc.data(), static_cast<Py_ssize_t>(doc.size()), "replace");
    });
}

PyObject* GetParams(PyObject* self, void*) {
    PyObject* names = reinterpret_cast<FunctionObject*>(self)->names;
    if (!names) return PyTuple_New(0);
    Py_INCREF(names);
    return names;
}

PyObject* GetResult(PyObject* self, void*) { return PyUnicode_FromString(Efi::ValueKindName(FunctionOf(self).ret)); }

PyObject* GetSummary(PyObject* self, void*) {
    return PyUnicode_FromString(FunctionOf(self).description.summary.c_str());
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

// What inspect and IPython need to find a function's file: a function of
// Python's own kinds (function, method, code), as they accept no other
// callable. A function says it is a code object whose file is its module's
// (the conversions': "<built-in>"), so inspect.getfile(m.f) and `m.f?` name
// the shared object it was loaded from; its type stays efi.Function, which
// pickling and the bridge go by. Of Python's kinds, a code object is the
// one inspect reads nothing more of; a function's code and globals would be
// read by pickling tools.
PyObject* GetReportedClass(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyCode_Type)); }

PyObject* GetFile(PyObject* self, void*) {
    const std::string& origin = FunctionOf(self).origin;
    return PyUnicode_FromString(origin == "built-in" ? "<built-in>" : origin.c_str());
}

/// Read from a class or an instance, a function is itself (as a
/// staticmethod): inspect and help() then take it for a routine.
PyObject* GetSelf(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyGetSetDef g_getset[] = {
    {"__name__", &GetName, nullptr, "the function's worksheet name", nullptr},
    {"__class__", &GetReportedClass, nullptr, "code, as inspect takes it (type() gives efi.Function)", nullptr},
    {"co_filename", &GetFile, nullptr, "the module's path, as inspect.getfile reads it", nullptr},
    {"_origin", &GetOrigin, nullptr, "the module's path, or \"built-in\"", nullptr},
    {"_cwd", &GetCwd, nullptr, "the directory of its module's file-name arguments (str or None)", nullptr},
    {"_kinds", &GetKinds, nullptr, "the kind of each argument (\"number\", \"matrix\", \"text\", \"file\")", nullptr},
    {"_params", &GetParams, nullptr, "the parameters' names, as keywords take them (empty when unnamed)", nullptr},
    {"_result", &GetResult, nullptr, "the kind of the result", nullptr},
    {"_summary", &GetSummary, nullptr, "the one-line summary of the module's table, or \"\"", nullptr},
    {"__doc__", &GetDoc, nullptr, "the signature, as efi-call --list writes it, and the function's help", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_methods[] = {
    {"map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Map)), METH_FASTCALL | METH_KEYWORDS, kMapDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool InitFunctionType(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&Repr)},
        {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(&GetSelf)},
        {Py_tp_getset, g_getset},
        {Py_tp_members, g_members},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"efi.Function", sizeof(FunctionObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!g_function_type || !InitMethodType()) return false;
    PyObject* keyword = PyImport_ImportModule("keyword");
    if (!keyword) return false;
    g_is_keyword = PyObject_GetAttrString(keyword, "iskeyword");
    Py_DECREF(keyword);
    if (!g_is_keyword) return false;
    Py_INCREF(g_function_type);
    return PyModule_AddObject(module, "Function", reinterpret_cast<PyObject*>(g_function_type)) == 0;
}

namespace {

/// True when `name` is taken: a reserved word of Python or in `taken`.
/// -1 with a Python error set.
int Taken(PyObject* name, PyObject* taken, Py_ssize_t count) {
    PyObject* reserved = PyObject_CallOneArg(g_is_keyword, name);
    if (!reserved) return -1;
    const int is = PyObject_IsTrue(reserved);
    Py_DECREF(reserved);
    if (is != 0) return is;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(taken, i), name) == 0) return 1;
    return 0;
}

/// The parameters' names as Python code writes them: the table's, with an
/// underscore after a reserved word ("lambda_"), as binding generators
/// spell it, and after one taken so. Null with no error set for a function
/// its table names no parameters of; null with one set on failure.
PyObject* PythonNames(const Efi::LoadedFunction& fn) {
    const std::vector<std::string>& params = fn.description.params;
    if (params.empty() || params.size() != fn.args.size()) return nullptr;
    PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(params.size()));
    if (!names) return nullptr;
    for (std::size_t k = 0; k < params.size(); ++k) {
        const Py_ssize_t at = static_cast<Py_ssize_t>(k);
        for (std::string spelled = params[k];; spelled += '_') {
            PyObject* name = PyUnicode_FromStringAndSize(spelled.data(), static_cast<Py_ssize_t>(spelled.size()));
            const int taken = name ? Taken(name, names, at) : -1;
            if (taken == 0) {
                PyUnicode_InternInPlace(&name);
                PyTuple_SET_ITEM(names, at, name);
                break;
            }
            Py_XDECREF(name);
            if (taken < 0) {
                Py_DECREF(names);
                return nullptr;
            }
        }
    }
    return names;
}

}  // namespace

TurnKind TurnOf(const Efi::LoadedFunction& fn) {
    // An isolated function's worker channel is its turn, taken in the
    // library (first come, first served, waited for without the GIL).
    if (fn.isolated) return TurnKind::kNone;
    return fn.description.threadSafe ? TurnKind::kShared : TurnKind::kAlone;
}

PyObject* NewFunction(Callable c) {
    PyObject* names = PythonNames(c.fn);
    if (!names && PyErr_Occurred()) return nullptr;
    auto* self = PyObject_New(FunctionObject, g_function_type);
    if (!self) {
        Py_XDECREF(names);
        return nullptr;
    }
    self->vectorcall = &Call;
    c.narrowText = Efi::User::Function::Of(c.fn.function) != nullptr;
    c.turn = TurnOf(c.fn);
    self->callable = new Callable(std::move(c));
    self->names = names;
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
