// efi._efi: the Python host's extension. Loads extension modules with the
// host's loader, calls their functions through the bridge, makes Python
// callables host functions that native code can call back, and offers the
// six unit conversions. The package's Python code (efi/__init__.py) builds
// the user-facing objects on top.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <efi/host/callbacks.h>
#include <efi/host/convert.h>
#include <efi/host/delegates.h>
#include <efi/host/module_loader.h>
#include <efi/host/session.h>
#include <efi/version.h>
#include <vrnrun/faults.h>

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <complex>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "call.h"
#include "entry.h"
#include "function.h"
#include "values.h"

namespace py = pybind11;
using Vrn::Run::Object;

namespace efi_python {

namespace {

/// Turns a Python error set by the code below into a pybind11 exception.
[[noreturn]] void ThrowPythonError() { throw py::error_already_set(); }

py::object Steal(PyObject* o) {
    if (!o) ThrowPythonError();
    return py::reinterpret_steal<py::object>(o);
}

/// The fault translation's SIGFPE action, as installed at import.
struct sigaction g_translation {};

void InstallTranslation() {
    Vrn::Run::InstallFaultTranslation();
    ::sigaction(SIGFPE, nullptr, &g_translation);
}

/// Puts the fault translation back if another SIGFPE handler has taken its
/// place since import (faulthandler.enable(), as pytest does at start-up):
/// a trapped fault would otherwise end the process. Checked at each load
/// and after each of Python's ways of setting a handler (efi/__init__.py),
/// not at each call: asking for the handler is a system call.
void ReinstateTranslation() {
    struct sigaction current {};
    ::sigaction(SIGFPE, nullptr, &current);
    if (!(current.sa_flags & SA_SIGINFO) || current.sa_sigaction != g_translation.sa_sigaction)
        ::sigaction(SIGFPE, &g_translation, nullptr);
}

/// The functions this interpreter has loaded, under one name each.
Efi::HostSession& Session() {
    static Efi::HostSession* session = new Efi::HostSession;  // kept to the end: callbacks outlive modules
    return *session;
}

/// A loaded extension module: its functions and the directory its
/// file-name arguments are relative to.
class Library {
public:
    Library(const std::string& path, const py::object& cwd, bool isolated, std::optional<double> timeout)
        : m_path(Efi::ModulePath(path)), m_dir(std::make_shared<Directory>()) {
        BridgeTurn turn;  // the session and the host's callbacks change
        const std::vector<Efi::LoadedFunction>& fns = Session().LoadModule(path, Efi::LoadOptions{isolated, timeout});
        SetCwd(cwd);
        ReinstateTranslation();
        // The file, whatever the working directory later: the session knows it so.
        char resolved[PATH_MAX];
        m_resolved = ::realpath(m_path.c_str(), resolved) ? resolved : m_path;
        for (const Efi::LoadedFunction& f : fns) m_functions.push_back(Steal(NewFunction(Callable{f, m_dir})));
    }

    const std::string& Path() const { return m_path; }

    /// How an isolated module's workers fared (Efi::WorkerHistory) as a
    /// dict; None for a module loaded in process.
    py::object Workers() const {
        const std::optional<Efi::WorkerHistory> h = Session().Workers(m_resolved);
        if (!h) return py::none();
        py::dict d;
        d["started"] = h->started;
        d["lost"] = h->lost;
        d["last_lost"] = h->lastLost.empty() ? py::object(py::none()) : py::object(py::str(h->lastLost));
        return d;
    }
    const std::vector<py::object>& Functions() const { return m_functions; }
    py::object Cwd() const { return m_cwd; }

    /// A directory (str or path object), or None for none: relative file
    /// names then fail with "must be string" (argument 0).
    void SetCwd(const py::object& cwd) {
        if (cwd.is_none()) {
            m_dir->host = nullptr;
            m_cwd = py::none();
            Py_XSETREF(m_dir->python, py::none().inc_ref().ptr());
            return;
        }
        py::object path = Steal(PyOS_FSPath(cwd.ptr()));
        // A directory given as bytes is its name in the file system's
        // encoding, as os.fsdecode reads it (str() would make it "b'...'").
        if (PyBytes_Check(path.ptr()))
            path = Steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr())));
        py::str dir = path;
        m_dir->host = Efi::DirectoryText(Utf16(dir.ptr()));
        m_cwd = dir;
        Py_XSETREF(m_dir->python, dir.inc_ref().ptr());
    }

private:
    std::string m_path;
    std::string m_resolved;
    std::shared_ptr<Directory> m_dir;
    py::object m_cwd;
    std::vector<py::object> m_functions;
};

/// A Python callable as the body of a host function. The GIL is taken back
/// (the bridge call that leads here gave it up when other threads may run) and
/// Python's floating-point environment is in force while Python runs.
class PythonCallback {
public:
    explicit PythonCallback(py::object fn) : m_fn(fn.release().ptr()) {}
    PythonCallback(const PythonCallback&) = delete;
    PythonCallback& operator=(const PythonCallback&) = delete;
    ~PythonCallback() {
        // The host may drop its functions after the interpreter has gone.
        if (!Py_IsInitialized()) return;
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(m_fn);
        PyGILState_Release(gil);
    }

    Object operator()(std::span<const Object> args) const {
        GilHeld gil;
        PythonSection section;
        PyObject* arg = FromHost(args[0]);
        if (!arg) throw PythonError::Fetch();
        PyObject* value = PyObject_CallOneArg(m_fn, arg);
        Py_DECREF(arg);
        if (!value) throw PythonError::Fetch();
        Object out;
        const bool ok = ToHost(value, out, 0);
        Py_DECREF(value);
        if (!ok) throw PythonError::Fetch();
        return out;
    }

private:
    PyObject* m_fn;
};

/// RunInBridge for code called by pybind11: a failure is thrown.
template <class Body>
auto Run(Body&& body) {
    auto r = RunInBridge(TurnKind::kAlone, std::forward<Body>(body));
    if (!r) ThrowPythonError();
    return *r;
}

/// What efi.register returns: the host function made from a Python
/// callable, with the host's numeric wrappers of it (Efi::Fdelegate), each
/// made once and reused as the host would.
class HostFunction {
public:
    HostFunction(std::string name, Object f)
        : m_name(std::move(name)),
          m_obj(Efi::Fdelegate::dbl_to_obj(f)),
          m_dbl(Efi::Fdelegate::dbl_to_dbl(f)),
          m_dbl_cplx(Efi::Fdelegate::dbl_to_cplx(f)),
          m_cplx(Efi::Fdelegate::cplx_to_cplx(f)) {}

    py::object DblToObj(double x) const {
        return Steal(FromHost(Run([&] { return m_obj(x); })));
    }
    double DblToDbl(double x) const {
        return Run([&] { return m_dbl(x); });
    }
    std::complex<double> DblToCplx(double x) const {
        qlComplex r = Run([&] {
            qlComplex out{};
            m_dbl_cplx(out, x);
            return out;
        });
        return {r.real, r.imag};
    }
    std::complex<double> CplxToCplx(std::complex<double> z) const {
        qlComplex r = Run([&] {
            qlComplex out{}, arg{z.real(), z.imag()};
            m_cplx(out, arg);
            return out;
        });
        return {r.real, r.imag};
    }
    std::string Repr() const { return "<efi host function " + m_name + ">"; }

private:
    std::string m_name;
    Efi::delegate_dbl_to_obj m_obj;
    Efi::delegate_dbl_to_dbl m_dbl;
    Efi::delegate_dbl_to_cplx m_dbl_cplx;
    Efi::delegate_cplx_to_cplx m_cplx;
};

std::unique_ptr<HostFunction> Register(const std::string& name, const py::object& fn) {
    // No turn: the library reads its callbacks under a lock of their own,
    // so registering waits for no call; the session is the GIL's.
    if (fn.is_none()) {
        Session().RegisterCallback(name, nullptr);
        return nullptr;
    }
    if (!PyCallable_Check(fn.ptr())) throw py::type_error("efi.register: the function must be callable");
    auto body = std::make_shared<PythonCallback>(fn);
    Object f = Vrn::Run::Func(1, [body](std::span<const Object> a) { return (*body)(a); });
    Session().RegisterCallback(name, f);
    return std::make_unique<HostFunction>(name, f);
}

/// The six conversions as efi.Function objects.
void AddConversions(py::module_& m) {
    for (const Efi::LoadedFunction& f : Session().AddConversions())
        m.attr(f.name.c_str()) = Steal(NewFunction(Callable{f, nullptr}));
}

/// Every C++ failure that leaves code pybind11 calls reaches Python as the
/// calls into the bridge report theirs; pybind11's own and Python errors
/// already set pass on as they are.
void TranslateFailures(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (...) {
        RaiseFrom(std::current_exception());
    }
}

}  // namespace

#ifdef EFI_PYTHON_FAULT_PLAN
void AddFaultPlan(py::module_& m);
#endif

}  // namespace efi_python

PYBIND11_MODULE(_efi, m) {
    using namespace efi_python;
    m.doc() = "The Python host's extension; use the package efi.";
    m.attr("__version__") = EFI_VERSION_STRING;
    // Faults in native code become exceptions instead of ending the process.
    InstallTranslation();
    py::register_exception_translator(&TranslateFailures);
    if (!InitFunctionType(m.ptr()) || !InitEntryType(m.ptr())) throw py::error_already_set();
    m.def(
        "_method", [](py::handle function) { return Steal(NewMethod(function.ptr())); }, py::arg("function"),
        "The efi.Method a module's class holds for one of its functions.");

    m.def("_waiting_for_turn", &BridgeTurn::Waiting, "How many threads wait for their turn at the bridge.");
    m.def("_reinstate_fault_translation", &ReinstateTranslation,
          "Puts the fault translation back as SIGFPE's handler if another has taken its place.");
    m.def(
        "_bind_errors",
        [](py::object module_error, py::object worksheet_error, py::object processor_fault, py::object argument_error,
           py::object module_crash, py::object module_exception) {
            ErrorClasses& e = Errors();
            e.module_exception = module_exception.release().ptr();
            e.module_crash = module_crash.release().ptr();
            e.argument_error = argument_error.release().ptr();
            e.module_error = module_error.release().ptr();  // kept to the end
            e.worksheet_error = worksheet_error.release().ptr();
            e.processor_fault = processor_fault.release().ptr();
        },
        "Names the package's exception classes to the extension.");

    py::class_<Library>(m, "Library", "A loaded extension module (use efi.load).")
        .def(py::init<const std::string&, py::object, bool, std::optional<double>>(), py::arg("path"), py::arg("cwd"),
             py::arg("isolated") = false, py::arg("timeout") = py::none())
        .def_property_readonly("path", &Library::Path)
        .def_property_readonly("functions", &Library::Functions)
        .def_property("cwd", &Library::Cwd, &Library::SetCwd)
        .def_property_readonly("workers", &Library::Workers);

    py::class_<HostFunction>(m, "HostFunction", "A Python callable registered as a host function.")
        .def("dbl_to_obj", &HostFunction::DblToObj, py::arg("x"), "The value at x, whatever its kind.")
        .def("dbl_to_dbl", &HostFunction::DblToDbl, py::arg("x"), "The real part of the number at x.")
        .def("dbl_to_cplx", &HostFunction::DblToCplx, py::arg("x"), "The number at x.")
        .def("cplx_to_cplx", &HostFunction::CplxToCplx, py::arg("z"), "The number at the complex point z.")
        .def("__repr__", &HostFunction::Repr);

    m.def("register", &Register, py::arg("name"), py::arg("fn"),
          "Makes fn(x) the host function `name`, which native code calls with Efi::call_host; "
          "None removes the name. A name that a loaded function or conversion holds is refused (ValueError). "
          "Host functions belong to this process: they do not pickle, and a worker process registers its own.");

    AddConversions(m);
#ifdef EFI_PYTHON_FAULT_PLAN
    AddFaultPlan(m);
#endif

    // The host's table of callbacks holds Python callables: it is emptied
    // while the interpreter can still release them, and
    // once no call runs on another thread.
    InitBridgeTurn();
    WatchInterrupts(py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        CloseBridge();
        Efi::ClearHostCallbacks();
        // The workers of isolated modules end with the interpreter, reaped.
        Efi::EndModuleWorkers();
    }));
}
