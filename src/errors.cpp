// The road by which failures reach the worksheet user.
#include <efi/errors.h>
#include <efi/host/requirements.h>

#include <iterator>

#include "text.h"

namespace Efi {

namespace {

constexpr const char* kStandardErrors[] = {
#define EFI_STANDARD_ERROR(code, text) text,
#include "standard_errors.def"
#undef EFI_STANDARD_ERROR
};
static_assert(std::size(kStandardErrors) == kStandardErrorCount);

constexpr std::uint32_t kUnknownError = 29;

}  // namespace

void Throw(const char* message, std::uint32_t argument) {
    if (!message) message = kStandardErrors[kUnknownError];
    Vrn::Run::AppException::Raise(detail::DecodeNarrow(message), argument);
}

void Throw(std::uint32_t code, std::uint32_t argument) {
    // The table is the whole vocabulary: an unlisted code is an unknown error,
    // never a read past the table.
    Throw(kStandardErrors[code < kStandardErrorCount ? code : kUnknownError], argument);
}

namespace Error {

bool is_rmatrix(const Vrn::Run::Object& v, const ofsize_t<Qlt::MatVal>& test, Vrn::Run::Ref<Qlt::MatVal>* ret) {
    Qlt::MatVal* m = v.as<Qlt::MatVal>();
    if (!m || !m->IsRealMatrix()) return false;
    if (test.cols != -1 && m->Cols() != test.cols) return false;
    if (test.rows != -1 && m->Rows() != test.rows) return false;
    if (ret) *ret = Vrn::Run::Ref<Qlt::MatVal>(m);
    return true;
}

}  // namespace Error
}  // namespace Efi
