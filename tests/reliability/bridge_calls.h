// Registered functions for the reliability tests: the sample module's, a few
// registrations that fail on every call, and native functions of this test
// that use call memory, nest calls and fetch remote resources.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <efi/host/bridge.h>
#include <efi/host/module_loader.h>
#include <vrnrun/vrnrun.h>

#include "efi_test.h"

namespace efitest {

using Vrn::Run::Object;

inline Object N(double re, double im = 0.0) { return Vrn::Run::Number(re, im); }
inline Object T(const std::u16string& s) { return Vrn::Run::Text(s); }

/// The sample module's functions by name, loaded once per process.
inline const std::map<std::string, Object>& SampleModule() {
    static const std::map<std::string, Object> fns = [] {
        std::map<std::string, Object> m;
        for (auto& f : Efi::LoadModule(EFI_SAMPLE_MODULE)) m.emplace(f.name, f.function);
        return m;
    }();
    return fns;
}
inline const Object& Sample(const std::string& name) { return SampleModule().at(name); }

/// The native entry address behind a registered function.
inline std::intptr_t EntryOf(const Object& f) {
    const auto* fn = f.as<Vrn::Run::CloObjFunction>();
    return static_cast<const Efi::User::Function&>(*fn->Target()).m_fptr;
}

/// Registers a native function of this process.
template <class F>
Object Register(const char16_t* name, F* entry, std::int32_t ret, std::vector<std::int32_t> args,
                Efi::User::Function::ErrorTable messages = std::nullopt) {
    return Efi::User::Function::Thunk(name, reinterpret_cast<std::intptr_t>(entry), ret, std::move(args),
                                      std::move(messages));
}

/// One bridge call with the host's arguments.
inline Object Call(const Object& f, const std::vector<Object>& args) {
    return f.as<Vrn::Run::Function>()->Call(args);
}

/// A real matrix rows x cols whose element k (column order) is k + start;
/// with `complex` every element also gets -k as imaginary part.
inline Object Matrix(int rows, int cols, double start, bool complex) {
    std::vector<double> re(static_cast<std::size_t>(rows * cols)), im;
    for (std::size_t k = 0; k < re.size(); ++k) re[k] = static_cast<double>(k) + start;
    if (complex) {
        im.resize(re.size());
        for (std::size_t k = 0; k < im.size(); ++k) im[k] = -static_cast<double>(k);
    }
    return Vrn::Run::Matrix(rows, cols, re, im);
}

/// Resident memory of this process in KiB.
inline long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace efitest
