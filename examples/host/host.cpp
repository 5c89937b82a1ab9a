// A complete host program: it loads an extension module, calls its number,
// matrix, text and file functions with host values, registers callbacks
// that native code calls by name, keeps its own floating-point state
// across calls, reports both kinds of error, and keeps to the thread rule.
// docs/hosts.md walks through it. Run it on the sample module:
//
//     efi_host_example <prefix>/lib/efi/modules/libefi_sample.so
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <efi/host/bridge.h>         // Efi::User::HostFpScope, Efi::User::SetWaitForTurn
#include <efi/host/callbacks.h>      // Efi::RegisterHostCallback
#include <efi/host/error_text.h>     // Efi::ErrorText
#include <efi/host/module_loader.h>  // Efi::LoadModule, Efi::ModuleError
#include <efi/se_exception.h>        // SE_Exception: processor faults
#include <vrnrun/faults.h>           // Vrn::Run::InstallFaultTranslation
#include <vrnrun/vrnrun.h>           // host values, Vrn::Run::AppException

namespace {

using Vrn::Run::Object;

/// The module's functions by name, as the loader registered them.
std::map<std::string, Efi::ModuleFunction> g_functions;
/// What a call from another thread met while a call was running.
std::string g_refused;
/// Set by the callback "pause" while it holds its call open.
std::atomic<bool> g_paused{false};

/// This thread's floating-point state: the x87 control word and MXCSR.
Efi::User::HostFpState CurrentFpState() {
    Efi::User::HostFpState s{};
    asm volatile("fnstcw %0" : "=m"(s.x87Control));
    asm volatile("stmxcsr %0" : "=m"(s.mxcsr));
    return s;
}

/// A host value as text: numbers as a+bi, matrices by rows, text quoted.
std::string Show(const Object& v) {
    char buf[64];
    if (auto* n = v.as<Qlt::NumVal>()) {
        if (n->Data.ip == 0.0) std::snprintf(buf, sizeof buf, "%g", n->Data.rp);
        else std::snprintf(buf, sizeof buf, "%g%+gi", n->Data.rp, n->Data.ip);
        return buf;
    }
    if (auto* m = v.as<Qlt::MatVal>()) {
        std::string s = "[";
        for (int r = 0; r < m->Rows(); ++r) {
            for (int c = 0; c < m->Cols(); ++c) {
                if (m->HasImag()) std::snprintf(buf, sizeof buf, "%g%+gi", m->re(r, c), m->im(r, c));
                else std::snprintf(buf, sizeof buf, "%g", m->re(r, c));
                s += (c ? ", " : "") + std::string(buf);
            }
            if (r + 1 < m->Rows()) s += "; ";
        }
        return s + "]";
    }
    if (auto* t = v.as<Vrn::Run::String>()) return "\"" + Vrn::Run::ToUtf8(t->str()) + "\"";
    return "?";
}

/// Calls the module function `name` with host values and prints the result
/// or the error. A function with a file-name argument (code 13 or 14) takes
/// the directory that relative names are joined to as its first value.
void Call(const std::string& name, const std::vector<Object>& args) {
    const Efi::ModuleFunction& f = g_functions.at(name);
    std::printf("%s: ", name.c_str());
    try {
        Object result = f.function.as<Vrn::Run::Function>()->Call(args);
        std::printf("%s\n", Show(result).c_str());
    } catch (const Vrn::Run::AppException& e) {
        // A worksheet error: a message and the argument to mark, shown as
        // every host shows it ("must be positive (argument 1)").
        std::printf("error: %s\n", Efi::ErrorText(e).c_str());
    } catch (const SE_Exception& e) {
        // A processor fault in native code (not an AppException): the call's
        // clean-up has run, and the host reports it in its own words.
        std::printf("fault: %s\n", SE_Exception::ExceptionStringFromCode(e.GetCode()));
    }
}

/// The thread rule: a call of a function that is not declared thread-safe
/// (the sample's sample_apply) runs alone in the process. A call made on
/// another thread while it runs is refused with a worksheet error, without
/// disturbing the running call; thread-safe calls (sample_add) would run at
/// once with each other.
std::string CallFromAnotherThread() {
    std::string what;
    std::thread other([&what] {
        Efi::User::HostFpScope scope(CurrentFpState());  // each thread keeps its own state
        try {
            const Object args[] = {Vrn::Run::Number(1), Vrn::Run::Number(2)};
            what = Show(g_functions.at("sample_add").function.as<Vrn::Run::Function>()->Call(args));
        } catch (const Vrn::Run::AppException& e) {
            what = std::string("error: ") + e.what();
        }
    });
    other.join();
    return what;
}

/// A host that would rather wait: with SetWaitForTurn(true) a call that
/// cannot have its turn waits for it instead of being refused. Another
/// thread calls while this thread's call of sample_apply runs the callback
/// "pause", and gets its result once that call has ended.
std::string WaitForTurnFromAnotherThread() {
    Efi::User::SetWaitForTurn(true);
    std::string what;
    std::thread other([&what] {
        while (!g_paused) std::this_thread::yield();
        Efi::User::HostFpScope scope(CurrentFpState());
        const Object args[] = {Vrn::Run::Number(1), Vrn::Run::Number(2)};
        what = Show(g_functions.at("sample_add").function.as<Vrn::Run::Function>()->Call(args));
    });
    const Object args[] = {Vrn::Run::TextUtf8("pause"), Vrn::Run::Number(0)};
    g_functions.at("sample_apply").function.as<Vrn::Run::Function>()->Call(args);
    other.join();
    Efi::User::SetWaitForTurn(false);
    return what;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
        return 2;
    }
    // Trapped floating-point faults in native code become SE_ exceptions
    // instead of ending the process.
    Vrn::Run::InstallFaultTranslation();
    try {
        for (Efi::ModuleFunction& f : Efi::LoadModule(argv[1])) g_functions.emplace(f.name, f);
    } catch (const Efi::ModuleError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    // Native code reaches host functions by name (Efi::call_host). The
    // module's own functions are host functions too, once registered.
    for (const auto& [name, f] : g_functions) Efi::RegisterHostCallback(name, f.function);
    Efi::RegisterHostCallback("half", Vrn::Run::Func(1, [](std::span<const Object> args) {
                                  return Vrn::Run::Number(args[0].as<Qlt::NumVal>()->Data.rp / 2);
                              }));
    Efi::RegisterHostCallback("other_thread", Vrn::Run::Func(1, [](std::span<const Object>) {
                                  g_refused = CallFromAnotherThread();  // runs inside the outer call
                                  return Vrn::Run::Number(0);
                              }));
    Efi::RegisterHostCallback("pause", Vrn::Run::Func(1, [](std::span<const Object>) {
                                  g_paused = true;  // the call stays open a little while
                                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                  return Vrn::Run::Number(0);
                              }));

    // Every call ends by loading the worksheet host's trapping control word
    // (0x273: division by zero and overflow trap) unless a scope names the
    // state this host computes in. Without it, this program's own 1.0 / 0.0
    // after a call would trap.
    Efi::User::HostFpScope scope(CurrentFpState());

    Call("sample_add", {Vrn::Run::Number(1, 2), Vrn::Run::Number(3, -4)});
    const double m[] = {1, 3, 2, 4};  // [1, 2; 3, 4], by columns
    Call("sample_scale", {Vrn::Run::Number(2), Vrn::Run::Matrix(2, 2, m)});
    Call("sample_sum", {Vrn::Run::Matrix(2, 2, m)});
    Call("sample_upper", {Vrn::Run::TextUtf8("hello")});
    Call("sample_path", {Vrn::Run::TextUtf8("/data/"), Vrn::Run::TextUtf8("file.txt")});
    Call("sample_apply", {Vrn::Run::TextUtf8("half"), Vrn::Run::Number(9)});
    Call("sample_apply", {Vrn::Run::TextUtf8("sample_sqrt"), Vrn::Run::Number(2.25)});
    Call("sample_apply", {Vrn::Run::TextUtf8("nothing_here"), Vrn::Run::Number(1)});
    Call("sample_sqrt", {Vrn::Run::Number(-4)});
    Call("sample_throw", {Vrn::Run::Number(5)});
    Call("sample_add", {Vrn::Run::TextUtf8("x"), Vrn::Run::Number(1)});
    Call("sample_add", {Vrn::Run::Number(1)});  // no argument is to blame
    Call("sample_divide", {Vrn::Run::Number(1), Vrn::Run::Number(0)});

    volatile double zero = 0.0;
    std::printf("host arithmetic after the calls: 1/0 = %g\n", 1.0 / zero);

    Call("sample_apply", {Vrn::Run::TextUtf8("other_thread"), Vrn::Run::Number(0)});
    std::printf("another thread during a call: %s\n", g_refused.c_str());
    std::printf("another thread between calls: %s\n", CallFromAnotherThread().c_str());
    std::printf("another thread waiting for its turn: %s\n", WaitForTurnFromAnotherThread().c_str());
    return 0;
}
