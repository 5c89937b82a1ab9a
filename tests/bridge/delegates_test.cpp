// Host functions evaluated through the four plain-signature wrappers.
#include <efi/host/delegates.h>

#include "bridge_calls.h"

namespace {

using namespace efitest;

// A host function that remembers the argument object it was handed.
struct Spy {
    std::vector<Object> seen;
    Object result;
    Object Function() {
        return Vrn::Run::Func(1, [this](std::span<const Object> a) {
            seen.push_back(a[0]);
            return result ? result : a[0];
        });
    }
};

TEST(Delegates, NumbersComeBackAsEachSignatureSays) {
    Spy spy;
    spy.result = N(2, 3);
    Object f = spy.Function();
    EXPECT_EQ(Efi::Fdelegate::dbl_to_dbl(f)(9.0), 2.0);  // imaginary part dropped
    qlComplex out{};
    Efi::Fdelegate::dbl_to_cplx(f)(out, 9.0);
    EXPECT_EQ(out.real, 2.0);
    EXPECT_EQ(out.imag, 3.0);
    Object v = Efi::Fdelegate::dbl_to_obj(f)(9.0);
    EXPECT_TRUE(v == spy.result);
}

TEST(Delegates, ThePointReachesTheHostFunction) {
    Spy spy;  // identity
    Object f = spy.Function();
    auto c2c = Efi::Fdelegate::cplx_to_cplx(f);
    qlComplex out{};
    c2c(out, qlComplex{1.5, -2.5});
    EXPECT_EQ(out.real, 1.5);
    EXPECT_EQ(out.imag, -2.5);
    // A double-taking wrapper writes only the real part; the imaginary part
    // stays what the default number holds.
    auto d2c = Efi::Fdelegate::dbl_to_cplx(f);
    d2c(out, 4.0);
    EXPECT_EQ(out.real, 4.0);
    EXPECT_EQ(out.imag, 0.0);
}

TEST(Delegates, OneArgumentObjectPerWrapperRewrittenInPlace) {
    Spy spy;
    spy.result = N(0);
    Object f = spy.Function();
    auto a = Efi::Fdelegate::dbl_to_dbl(f);
    auto b = Efi::Fdelegate::dbl_to_dbl(f);
    a(1.0);
    a(2.0);
    b(3.0);
    ASSERT_EQ(spy.seen.size(), 3u);
    EXPECT_TRUE(spy.seen[0] == spy.seen[1]) << "a call makes no new argument";
    EXPECT_FALSE(spy.seen[0] == spy.seen[2]) << "two delegates never share one";
    EXPECT_EQ(spy.seen[0].as<Qlt::NumVal>()->Data.rp, 2.0) << "the held argument shows the last point";
}

TEST(Delegates, NonNumbersAreRefusedExceptByTheObjectWrapper) {
    Spy spy;
    spy.result = T(u"text");
    Object f = spy.Function();
    EXPECT_APP_ERROR(Efi::Fdelegate::dbl_to_dbl(f)(1.0), "argument function error", 1);
    qlComplex out{};
    EXPECT_APP_ERROR(Efi::Fdelegate::dbl_to_cplx(f)(out, 1.0), "argument function error", 1);
    EXPECT_APP_ERROR(Efi::Fdelegate::cplx_to_cplx(f)(out, qlComplex{}), "argument function error", 1);
    EXPECT_EQ(TextOf(Efi::Fdelegate::dbl_to_obj(f)(1.0)), u"text");
    // The host function's own errors pass through unchanged.
    Object failing = Vrn::Run::Func(1, [](auto) -> Object { Vrn::Run::AppException::Raise(u"domain error", 7); });
    EXPECT_APP_ERROR(Efi::Fdelegate::dbl_to_dbl(failing)(1.0), "domain error", 7);
}

TEST(Delegates, WrapRegisteredNativeFunctionsToo) {
    auto sqrt = Efi::Fdelegate::dbl_to_dbl(Sample("sample_sqrt"));
    efitest::FpEnvGuard guard;
    EXPECT_EQ(sqrt(16.0), 4.0);
}

}  // namespace
