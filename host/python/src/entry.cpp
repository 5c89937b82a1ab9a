// efi._entry: a function of the package's Python code wrapped so that an
// exception it raises reaches the caller with the caller's frames only. What
// the package does inside (Module.__new__ under efi.load, the loader below)
// is no help to whoever reads the traceback, and in a notebook it is most of
// it. Frames of code the package calls back (a user's function) stay. The
// wrapper is native: a Python one would leave a frame of its own. It binds
// as a method when a class holds it, as a Python function does.
#include "entry.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace efi_python {

namespace {

struct EntryObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* wrapped;  // owned
    PyObject* dict;     // owned: __name__, __doc__, __wrapped__, ... as functools.update_wrapper sets them
};

PyTypeObject* g_entry_type = nullptr;  // made at import, kept to the end

/// Whether the frame of a traceback entry runs code of the package (module
/// efi or one of its submodules). -1 with a Python error set.
int IsOwnFrame(PyTracebackObject* tb) {
    PyObject* globals = PyFrame_GetGlobals(tb->tb_frame);
    PyObject* name = PyDict_GetItemString(globals, "__name__");  // borrowed
    int own = 0;
    if (name && PyUnicode_Check(name)) {
        const char* text = PyUnicode_AsUTF8(name);
        own = !text ? -1 : std::strcmp(text, "efi") == 0 || std::strncmp(text, "efi.", 4) == 0;
    }
    Py_DECREF(globals);
    return own;
}

/// Takes the leading frames of the package out of the current exception's
/// traceback.
void DropOwnFrames() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* rest = tb;
    while (rest && rest != Py_None) {
        const int own = IsOwnFrame(reinterpret_cast<PyTracebackObject*>(rest));
        if (own < 0) PyErr_Clear();  // a frame that cannot be told stays
        if (own != 1) break;
        rest = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(rest)->tb_next);
    }
    if (rest == Py_None) rest = nullptr;
    Py_XINCREF(rest);
    Py_XDECREF(tb);
    if (value) PyException_SetTraceback(value, rest ? rest : Py_None);
    PyErr_Restore(type, value, rest);
}

PyObject* CallEntry(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* result = PyObject_Vectorcall(reinterpret_cast<EntryObject*>(self)->wrapped, args, nargsf, kwnames);
    if (!result) DropOwnFrames();
    return result;
}

/// As a Python function in a class: bound to an instance it is read from.
PyObject* Bind(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<EntryObject*>(self)->wrapped);
    Py_VISIT(reinterpret_cast<EntryObject*>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int Clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<EntryObject*>(self)->wrapped);
    Py_CLEAR(reinterpret_cast<EntryObject*>(self)->dict);
    return 0;
}

void Dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(EntryObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(EntryObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"__dict__", &PyObject_GenericGetDict, &PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/// Pickled as the function it wraps is, by its qualified name in its
/// module (efi.load travels to a worker process as a reference).
PyObject* Reduce(PyObject* self, PyObject*) { return PyObject_GetAttrString(self, "__qualname__"); }

PyMethodDef g_methods[] = {
    {"__reduce__", &Reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* NewEntry(PyObject*, PyObject* function) {
    if (!PyCallable_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "_entry: not callable");
        return nullptr;
    }
    auto* self = PyObject_GC_New(EntryObject, g_entry_type);
    if (!self) return nullptr;
    self->vectorcall = &CallEntry;
    Py_INCREF(function);
    self->wrapped = function;
    self->dict = nullptr;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

PyMethodDef g_new_entry = {
    "_entry", &NewEntry, METH_O,
    "The package's function `function` as callers reach it: its exceptions carry no frames of the package."};

}  // namespace

bool InitEntryType(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&Traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&Clear)},
        {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(&Bind)},
        {Py_tp_members, g_members},
        {Py_tp_getset, g_getset},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"efi._Entry", sizeof(EntryObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        slots};
    g_entry_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!g_entry_type) return false;
    PyObject* make = PyCFunction_New(&g_new_entry, nullptr);
    return make && PyModule_AddObject(module, "_entry", make) == 0;
}

}  // namespace efi_python
