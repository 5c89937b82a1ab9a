// Argument requirements that host-facing conversions check before raising.
#pragma once

#include <cstdint>

#include <efi/export.h>
#include <vrnrun/vrnrun.h>

namespace Efi::Error {

/// No requirement.
template <class T>
struct nothing {};

/// The matrix must be square.
template <class T>
struct square_t {};

/// A required shape; -1 for "any".
template <class T>
struct ofsize_t;

template <>
struct ofsize_t<Qlt::MatVal> {
    std::int32_t rows;
    std::int32_t cols;
};

/// The value must be greater / less than `bound`.
template <class T>
struct gthan {
    T bound;
};
template <class T>
struct lthan {
    T bound;
};

/// True when v is a real matrix of the required shape; then *ret (when
/// given) receives it. Nothing is stored on failure.
EFI_API bool is_rmatrix(const Vrn::Run::Object& v, const ofsize_t<Qlt::MatVal>& test,
                        Vrn::Run::Ref<Qlt::MatVal>* ret = nullptr);

}  // namespace Efi::Error
