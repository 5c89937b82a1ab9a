// Loading the modules the bridge tests call through, and calling with the
// checks every call must pass: the allocator's statics as they were and
// the host's control word in force.
#pragma once

#include <efi/errors.h>
#include <efi/host/bridge.h>
#include <efi/host/module_loader.h>

#include <map>
#include <string>
#include <vector>

#include "efi_test.h"

namespace bridgetest {

using Vrn::Run::Object;

/// The registered functions of the module at `path`, loaded once.
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

inline const Object& Sample(const std::string& name) { return Module(EFI_SAMPLE_MODULE).at(name); }
inline const Object& Odd(const std::string& name) { return Module(EFI_TEST_MODULE).at(name); }

/// The registered Efi::User::Function behind a host function object.
inline Efi::User::Function& Target(const Object& f) {
    return static_cast<Efi::User::Function&>(*f.as<Vrn::Run::CloObjFunction>()->Target());
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

/// Calls f with args. Afterwards, however the call ended, the allocator's
/// statics must be what they were and (unless the call never reached the
/// floating-point set-up) 0x273 must be in force with SSE trapping the same.
inline Object Call(const Object& f, std::vector<Object> args, bool setsControlWord = true) {
    efitest::FpEnvGuard guard;
    const AllocatorState before = Allocators();
    auto check = [&] {
        std::uint16_t cw = efitest::X87ControlWord();
        std::uint32_t mxcsr = efitest::Mxcsr();
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

inline Object N(double re, double im = 0.0) { return Vrn::Run::Number(re, im); }
inline Object T(std::u16string s) { return Vrn::Run::Text(std::move(s)); }

inline std::u16string TextOf(const Object& v) {
    const auto* s = v.as<Vrn::Run::String>();
    EXPECT_NE(s, nullptr) << "not text";
    return s ? s->str() : std::u16string();
}

}  // namespace bridgetest
