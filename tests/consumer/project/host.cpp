// A host program built against the installed package (efi::host or
// efi-host.pc): loads the modules named on the command line, calls their
// functions through the bridge and checks results and errors. Prints "ok"
// when every check passes.
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include <efi/efi.h>
#include <efi/host/bridge.h>
#include <efi/host/module_loader.h>
#include <efi/version.h>
#include <vrnrun/faults.h>
#include <vrnrun/vrnrun.h>

namespace {

std::map<std::string, Vrn::Run::Object> g_functions;
int g_failures = 0;

/// Calls `name` on one real number. A call leaves the host's trapping
/// control word in force; this program's own arithmetic is not written for
/// it, so the environment is restored around each call.
Vrn::Run::Object Call(const std::string& name, double x) {
    std::fenv_t env;
    std::fegetenv(&env);
    try {
        const Vrn::Run::Object args[] = {Vrn::Run::Number(x, 0.0)};
        auto r = g_functions.at(name).as<Vrn::Run::Function>()->Call(args);
        std::fesetenv(&env);
        return r;
    } catch (...) {
        std::fesetenv(&env);
        throw;
    }
}

void ExpectNumber(const std::string& name, double x, double want) {
    const double got = Call(name, x).as<Qlt::NumVal>()->Data.rp;
    if (got != want) {
        std::printf("%s(%g) = %g, not %g\n", name.c_str(), x, got, want);
        ++g_failures;
    }
}

void ExpectError(const std::string& name, double x, const char* message, std::uint32_t argument) {
    try {
        Call(name, x);
        std::printf("%s(%g) raised nothing\n", name.c_str(), x);
    } catch (const Vrn::Run::AppException& e) {
        if (std::strcmp(e.what(), message) == 0 && e.Argument() == argument) return;
        std::printf("%s(%g) raised \"%s\" at %u\n", name.c_str(), x, e.what(), e.Argument());
    }
    ++g_failures;
}

/// A processor fault in `name`(x): the call's error, with its memory given
/// back (the allocator's statics as before any call).
void ExpectFault(const std::string& name, double x, const char* text) {
    try {
        Call(name, x);
        std::printf("%s(%g) raised nothing\n", name.c_str(), x);
        ++g_failures;
    } catch (const SE_Exception& e) {
        if (std::strcmp(SE_Exception::ExceptionStringFromCode(e.GetCode()), text) != 0) {
            std::printf("%s(%g) faulted with %s\n", name.c_str(), x,
                        SE_Exception::ExceptionStringFromCode(e.GetCode()));
            ++g_failures;
        }
    }
    if (IqlAllocator::m_current || IqlAllocator::m_NextHandle != -1) {
        std::printf("%s(%g) left call memory behind\n", name.c_str(), x);
        ++g_failures;
    }
}

/// The checks, on the functions of the modules given.
void Run() {
    ExpectNumber("cons_sqrt", 16.0, 4.0);
    ExpectError("cons_sqrt", -1.0, "must be non-negative", 1);
    ExpectNumber("cons_version", 0.0, EFI_VERSION_MAJOR * 10000 + EFI_VERSION_MINOR * 100 + EFI_VERSION_PATCH);
    ExpectNumber("cons_c_half", 3.0, 1.5);
    ExpectError("cons_c_half", -1.0, "must be non-negative", 1);
    ExpectNumber("cons_c_third", 3.0, 1.0);
    ExpectError("cons_c_third", -1.0, "must be positive", 1);
    ExpectFault("cons_inverse", 0.0, "singularity");
    ExpectNumber("cons_inverse", 4.0, 0.25);
    if (g_functions.count("cons_typed_half")) {
        ExpectNumber("cons_typed_half", 3.0, 1.5);
        ExpectError("cons_typed_half", 2.5, "must be an integer", 1);
        ExpectNumber("cons_typed_exp", 1.0, std::exp(1.0));
        ExpectFault("cons_typed_exp", 1000.0, "overflow");  // masked, judged as the trap would have
    }
    if (g_functions.count("cons_fast_inverse")) {
        ExpectError("cons_fast_inverse", 0.0, "caught division by zero", 1);
        ExpectNumber("cons_fast_inverse", 4.0, 0.25);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Vrn::Run::InstallFaultTranslation();
    try {
        for (int i = 1; i < argc; ++i)
            for (auto& f : Efi::LoadModule(argv[i])) g_functions.emplace(f.name, f.function);
        Run();
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        ++g_failures;
    }
    if (g_failures == 0) std::puts("ok");
    return g_failures == 0 ? 0 : 1;
}
