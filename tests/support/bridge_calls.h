// Bridge calls for the tests: the modules they call through, native
// functions of a test registered directly, host values made short, and a
// call with the checks every call must pass however it ends (the
// allocator's statics as they were, the host's control word in force).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <efi/errors.h>
#include <efi/host/bridge.h>
#include <efi/host/module_loader.h>
#include <vrnrun/vrnrun.h>

#include "efi_test.h"

namespace efitest {

using Vrn::Run::Object;

inline Object N(double re, double im = 0.0) { return Vrn::Run::Number(re, im); }
inline Object T(std::u16string s) { return Vrn::Run::Text(std::move(s)); }

/// The text a host value holds; a test failure and "" for any other value.
inline std::u16string TextOf(const Object& v) {
    const auto* s = v.as<Vrn::Run::String>();
    EXPECT_NE(s, nullptr) << "not text";
    return s ? s->str() : std::u16string();
}

/// A real matrix rows x cols whose element k (column order) is k + start;
/// with `complex` every element also gets -k as imaginary part.
inline Object Matrix(int rows, int cols, double start, bool complex) {
    std::vector<double> re(static_cast<std::size_t>(rows) * cols), im;
    for (std::size_t k = 0; k < re.size(); ++k) re[k] = static_cast<double>(k) + start;
    if (complex) {
        im.resize(re.size());
        for (std::size_t k = 0; k < im.size(); ++k) im[k] = -static_cast<double>(k);
    }
    return Vrn::Run::Matrix(rows, cols, re, im);
}

/// The registered functions of the module at `path` by name, loaded once
/// per process.
inline const std::map<std::string, Object>& Module(const std::string& path) {
    static std::map<std::string, std::map<std::string, Object>> loaded;
    auto it = loaded.find(path);
    if (it == loaded.end()) {
        std::map<std::string, Object> fns;
        for (auto& f : Efi::LoadModule(path)) fns.emplace(f.name, f.function);
        it = loaded.emplace(path, std::move(fns)).first;
    }
    return it->second;
}

#ifdef EFI_SAMPLE_MODULE
/// A function of the bundled sample module.
inline const Object& Sample(const std::string& name) { return Module(EFI_SAMPLE_MODULE).at(name); }
#endif
#ifdef EFI_TEST_MODULE
/// A function of the bridge tests' module of odd declarations.
inline const Object& Odd(const std::string& name) { return Module(EFI_TEST_MODULE).at(name); }
#endif

/// Registers a native function of this process.
template <class F>
Object Register(const char16_t* name, F* entry, std::int32_t ret, std::vector<std::int32_t> args,
                Efi::User::Function::ErrorTable messages = std::nullopt) {
    return Efi::User::Function::Thunk(name, reinterpret_cast<std::intptr_t>(entry), ret, std::move(args),
                                      std::move(messages));
}

/// The registered function behind a host function object; throws (failing
/// the test) for any other value.
inline Efi::User::Function& Target(const Object& f) {
    Efi::User::Function* fn = Efi::User::Function::Of(f);
    if (!fn) throw std::invalid_argument("not a registered function");
    return *fn;
}

struct AllocatorState {
    IqlAllocator* current;
    std::int32_t next;
    std::int32_t init;
    bool operator==(const AllocatorState&) const = default;
};

inline AllocatorState Allocators() {
    return {IqlAllocator::m_current, IqlAllocator::m_NextHandle, IqlAllocator::m_init_handle};
}

/// Calls f with args and restores this thread's floating-point environment
/// afterwards. Before that, however the call ended, the allocator's statics
/// must be what they were and (unless the call never reached the
/// floating-point set-up, as a refused one does not) 0x273 must be in force
/// with SSE trapping the same.
inline Object Call(const Object& f, const std::vector<Object>& args, bool setsControlWord = true) {
    FpEnvGuard guard;
    const AllocatorState before = Allocators();
    auto check = [&] {
        const std::uint16_t cw = X87ControlWord();
        const std::uint32_t mxcsr = Mxcsr();
        if (setsControlWord) {
            EXPECT_EQ(cw, Efi::User::kHostControlWord);
            EXPECT_EQ(mxcsr & ~0x3Fu, 0x1980u) << "SSE traps zero divide and overflow, nothing else";
        }
        EXPECT_TRUE(Allocators() == before) << "allocator statics not restored";
    };
    try {
        Object r = f.as<Vrn::Run::Function>()->Call(args);
        check();
        return r;
    } catch (...) {
        check();
        throw;
    }
}

/// Resident memory of this process in KiB.
inline long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace efitest
