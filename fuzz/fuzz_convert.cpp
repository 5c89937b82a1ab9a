// The six unit conversions, fed the way the host feeds them: any text to the
// two readers, any number (or a value of the wrong kind) to the writers, any
// small matrix to dms. Every call must either give a value of the promised
// kind or raise one of the conversion's own errors; what the writers produce
// from a finite number must read back to that number within the precision of
// the written form, or they raise "overflow" past their range. Half the
// inputs run under the host's trapping control word, where a reader's
// division by zero or overflow may trap (the host reports those as its own
// "singularity" and "overflow" errors); a writer never traps.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <efi/call.h>
#include <efi/host/convert.h>
#include <efi/se_exception.h>
#include <vrnrun/faults.h>
#include <vrnrun/vrnrun.h>

#include "convert_round_trip.h"
#include "fuzz_support.h"

namespace {

using Efi::Convert;
using Vrn::Run::Object;

enum Op : std::uint8_t { kFif, kFifInv, kDms, kDmsInv, kHhmmss, kHhmmssInv, kOps };

efitest::round_trip::Inverse InverseOf(Op op) {
    using efitest::round_trip::Inverse;
    return op == kFifInv ? Inverse::kFif : op == kDmsInv ? Inverse::kDms : Inverse::kHhmmss;
}

bool IsOneOf(const std::string& what, std::initializer_list<const char*> allowed) {
    for (const char* a : allowed)
        if (what == a) return true;
    return false;
}

// A value of some other kind than the conversion wants, or a complex number.
Object OddValue(efifuzz::ByteReader& in) {
    switch (in.below(4)) {
        case 0: return Object();
        case 1: return Vrn::Run::Number(in.take<double>(), in.take<double>());
        case 2: return Vrn::Run::TextUtf8("1");
        default: return Vrn::Run::Matrix(1, 1, std::vector<double>{in.take<double>()});
    }
}

// A matrix of up to 4 x 2 elements from raw bits, maybe complex, maybe with
// one nested element.
Object AnyMatrix(efifuzz::ByteReader& in) {
    const int rows = static_cast<int>(in.below(5));
    const int cols = 1 + static_cast<int>(in.below(2));
    const std::uint8_t flags = in.take<std::uint8_t>();
    std::vector<double> re(static_cast<std::size_t>(rows * cols)), im;
    for (double& x : re) x = in.take<double>();
    if (flags & 1) {
        im.resize(re.size());
        for (double& x : im) x = in.take<double>();
    }
    Object m = Vrn::Run::Matrix(rows, cols, re, im);
    if ((flags & 2) && rows > 0) {
        auto* mat = m.as<Qlt::MatVal>();
        mat->SetNested(static_cast<int>(in.below(static_cast<std::uint32_t>(rows))), 0,
                       (flags & 4) ? Vrn::Run::Number(in.take<double>()) : Vrn::Run::TextUtf8("x"));
    }
    return m;
}

// What an inverse conversion writes for a finite number reads back to it.
void CheckReadsBack(Op op, double x, const Object& written) {
    if (!std::isfinite(x)) return;
    REQUIRE(efitest::round_trip::Fault(InverseOf(op), x, written).empty());
}

void RunOne(Op op, bool wrongKind, efifuzz::ByteReader& in, double& number) {
    switch (op) {
        case kFif:
        case kHhmmss: {
            const bool utf16 = in.take<std::uint8_t>() & 1;
            const Object text =
                wrongKind ? OddValue(in)
                          : Vrn::Run::Text(utf16 ? efifuzz::Utf16Of(in.rest()) : efifuzz::Latin1Of(in.rest()));
            const Object v = op == kFif ? Convert::fif(text) : Convert::hhmmss(text);
            REQUIRE(v.is<Qlt::NumVal>());
            break;
        }
        case kDms: {
            const Object v = Convert::dms(wrongKind ? OddValue(in) : AnyMatrix(in));
            REQUIRE(v.is<Qlt::NumVal>());
            break;
        }
        default: {
            const double x = number = in.take<double>();
            const Object arg = wrongKind ? OddValue(in) : Vrn::Run::Number(x);
            // An odd value may still be a real number, which the writer then
            // reads: its range check is against that number, not x.
            if (const auto* n = arg.as<Qlt::NumVal>(); wrongKind && n && n->IsReal()) number = n->asReal();
            const Object v = op == kFifInv   ? Convert::fif_inv(arg)
                             : op == kDmsInv ? Convert::dms_inv(arg)
                                             : Convert::hhmmss_inv(arg);
            // dms_inv writes a vector, except for NaN (text), like the others.
            REQUIRE(v.is<Vrn::Run::String>() || (op == kDmsInv && v.is<Qlt::MatVal>()));
            if (!wrongKind) CheckReadsBack(op, x, v);
            break;
        }
    }
}

bool AllowedError(Op op, const std::string& what, double number) {
    switch (op) {
        case kFif: return IsOneOf(what, {"bad_fif_string", "must be string"});
        case kHhmmss: return IsOneOf(what, {"bad_hhmmss_string", "must be string"});
        case kDms: return IsOneOf(what, {"must be real vector", "must be a 3 element vector", "must be real"});
        default:
            // "overflow" past the writer's range, and only there.
            return what == "must be real" ||
                   (what == "overflow" && !(std::fabs(number) < efitest::round_trip::OverflowFrom(InverseOf(op))));
    }
}

// Only the readers compute with what the text says; the writers never trap.
bool MayTrap(Op op) { return op == kFif || op == kHhmmss || op == kDms; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Vrn::Run::InstallFaultTranslation();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    efifuzz::ByteReader in(data, size);
    const auto op = static_cast<Op>(in.below(kOps));
    const std::uint8_t mode = in.take<std::uint8_t>();
    const bool wrongKind = (mode & 0x0F) == 0x0F;  // now and then a value of the wrong kind
#if defined(__clang__)
    // Clang does not unwind the cleanups of a frame from its trapping
    // floating-point instruction (only GCC's -fnon-call-exceptions covers
    // those), so a trap would leak the faulting frame's locals in a clang
    // build. The trapping word is exercised by the replay in GCC builds.
    const bool hostWord = false;
#else
    const bool hostWord = mode & 0x80;
#endif

    efifuzz::FpEnvGuard guard;
    if (hostWord) Efi::User::set_control_word(Efi::User::kHostControlWord);
    double number = 0;
    try {
        RunOne(op, wrongKind, in, number);
    } catch (const Vrn::Run::AppException& e) {
        REQUIRE(AllowedError(op, e.what(), number));
    } catch (const SE_FPEDivByZero_Exception&) {
        REQUIRE(hostWord && MayTrap(op));
    } catch (const SE_FPEOverflow_Exception&) {
        REQUIRE(hostWord && MayTrap(op));
    }
    return 0;
}
