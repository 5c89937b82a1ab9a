// The boundary between Python and the bridge: see call.h.
#include "call.h"

#include <efi/errors.h>
#include <efi/host/module_loader.h>
#include <efi/se_exception.h>
#include <vrnrun/vrnrun.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "values.h"

namespace efi_python {

namespace {

/// Python's own environment when no guard has saved one: every exception
/// masked, round to nearest.
constexpr FpState kPythonDefault{0x037F, 0x1F80};

// The mutex and condition only carry the wake-up to threads waiting
// without the GIL.
std::mutex g_wake_mutex;
std::condition_variable g_wake;

}  // namespace

void BridgeTurn::WaitForTurn() {
    ++g_waiters;
    while (SomeoneElsesTurn()) {
        Py_BEGIN_ALLOW_THREADS;
        {
            // Woken when the running call ends; the time-out covers a wake-up
            // sent between giving up the GIL and starting to wait.
            std::unique_lock<std::mutex> lock(g_wake_mutex);
            g_wake.wait_for(lock, std::chrono::milliseconds(10));
        }
        Py_END_ALLOW_THREADS;
    }
    --g_waiters;
}

void BridgeTurn::WakeWaiters() {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    g_wake.notify_all();
}

namespace {

PyObject* ArgumentOrNone(std::uint32_t argument) {
    if (argument == Efi::kNoArgument) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(argument);
}

// Raises cls(*args) with the instance made here, so its attributes are set
// by the class's own constructor.
void RaiseInstance(PyObject* cls, PyObject* args) {
    if (!args) return;
    PyObject* instance = PyObject_CallObject(cls, args);
    Py_DECREF(args);
    if (!instance) return;
    PyErr_SetObject(cls, instance);
    Py_DECREF(instance);
}

void RaiseWorksheetError(const Vrn::Run::AppException& e) {
    PyObject* message = FromUtf16(e.Message());
    PyObject* argument = message ? ArgumentOrNone(e.Argument()) : nullptr;
    if (!argument) {
        Py_XDECREF(message);
        return;
    }
    RaiseInstance(Errors().worksheet_error, Py_BuildValue("(NN)", message, argument));
}

void RaiseProcessorFault(std::uint32_t code) {
    RaiseInstance(Errors().processor_fault,
                  Py_BuildValue("(sk)", SE_Exception::ExceptionStringFromCode(code), static_cast<unsigned long>(code)));
}

}  // namespace

PythonSection::PythonSection() noexcept : m_native(Efi::User::ReadFpState()) {
    const FpState* python = Efi::User::HostFpScope::Current();
    Efi::User::LoadFpState(python ? *python : kPythonDefault);
}

PythonSection::~PythonSection() { Efi::User::LoadFpState(m_native); }

PythonError PythonError::Fetch() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    return PythonError(type, value, tb);
}

PythonError::PythonError(PythonError&& o) noexcept
    : m_type(std::exchange(o.m_type, nullptr)),
      m_value(std::exchange(o.m_value, nullptr)),
      m_tb(std::exchange(o.m_tb, nullptr)) {}

PythonError::~PythonError() {
    Py_XDECREF(m_type);
    Py_XDECREF(m_value);
    Py_XDECREF(m_tb);
}

void PythonError::Restore() noexcept {
    PyErr_Restore(std::exchange(m_type, nullptr), std::exchange(m_value, nullptr), std::exchange(m_tb, nullptr));
}

ErrorClasses& Errors() noexcept {
    static ErrorClasses classes;
    return classes;
}

void RaiseModuleError(const char* message) noexcept {
    RaiseInstance(Errors().module_error, Py_BuildValue("(s)", message));
}

void RaiseFrom(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (PythonError& e) {
        e.Restore();
    } catch (const Vrn::Run::AppException& e) {
        RaiseWorksheetError(e);
    } catch (const SE_Exception& e) {
        RaiseProcessorFault(e.GetCode());
    } catch (const Efi::ModuleError& e) {
        RaiseModuleError(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error");
    }
}

}  // namespace efi_python
