// efi-call's worksheet literals: any text either reads as one value or is
// rejected with a column inside it (or just past its end); a value read
// prints in a form that reads back to the same value and prints the same.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vrnrun/vrnrun.h>

#include "fuzz_support.h"
#include "literal.h"

namespace {

using Vrn::Run::Object;

// Same double: bit for bit, except that every NaN is the same NaN.
bool SameNumber(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A zero imaginary part is not printed, whatever its sign: 3-0i prints as 3.
bool SameImaginary(double a, double b) { return (a == 0.0 && b == 0.0) || SameNumber(a, b); }

bool SameValue(const Object& a, const Object& b) {
    if (a.is_null() || b.is_null()) return a.is_null() && b.is_null();
    if (const auto* x = a.as<Qlt::NumVal>()) {
        const auto* y = b.as<Qlt::NumVal>();
        return y && SameNumber(x->Data.rp, y->Data.rp) && SameImaginary(x->Data.ip, y->Data.ip);
    }
    if (const auto* x = a.as<Vrn::Run::String>()) {
        const auto* y = b.as<Vrn::Run::String>();
        return y && x->str() == y->str();
    }
    if (const auto* x = a.as<Qlt::MatVal>()) {
        const auto* y = b.as<Qlt::MatVal>();
        if (!y || x->Rows() != y->Rows() || x->Cols() != y->Cols()) return false;
        for (int j = 0; j < x->Cols(); ++j)
            for (int i = 0; i < x->Rows(); ++i)
                if (!SameNumber(x->re(i, j), y->re(i, j)) || !SameImaginary(x->im(i, j), y->im(i, j))) return false;
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    efifuzz::FpEnvGuard guard;
    Object value;
    try {
        value = efi_call::ParseLiteral(text);
    } catch (const efi_call::LiteralError& e) {
        REQUIRE(e.column() >= 1 && e.column() <= size + 1);
        return 0;
    }
    const std::string printed = efi_call::FormatValue(value);
    Object again;
    try {
        again = efi_call::ParseLiteral(printed);
    } catch (const efi_call::LiteralError&) {
        REQUIRE(false);  // what was printed must read back
    }
    REQUIRE(SameValue(value, again));
    REQUIRE(efi_call::FormatValue(again) == printed);
    return 0;
}
