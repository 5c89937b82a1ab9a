#include <clocale>
#include <stdexcept>

#include <efi/capi.h>
#include <efi/efi.h>
#include <efi/host/error_text.h>
#include <efi/host/requirements.h>
#include <efi/se_exception.h>

#include "efi_test.h"
#include "message_texts.h"

using Vrn::Run::AppException;

namespace {

struct Sample {
    std::uint32_t code;
    const char* text;
};

TEST(StandardErrors, EveryCodeRaisesItsText) {
    for (std::uint32_t code = 0; code < Efi::kStandardErrorCount; ++code) {
        SCOPED_TRACE(code);
        EXPECT_APP_ERROR(Efi::Throw(code, 3u), efitest::kStandardTexts[code], 3);
    }
}

TEST(StandardErrors, NamesStandForTheCodesOfTheirTexts) {
    // The names are generated from the table: a name off by one entry, or
    // an entry left out, shows as a wrong text.
    namespace E = Efi::StandardError;
    const Sample samples[] = {{E::MustBeANumber, "must be a number"},
                              {E::MustBeBetween0And1, "must be between 0 and 1"},
                              {E::MustBeAnIntegerOrAVector, "must be an integer or a vector"},
                              {E::UnknownError, "unknown error"},
                              {E::IllegalOrigin, "illegal ORIGIN"},
                              {E::MaxvalShouldBeAtLeastMinval, "maxval should be at least minval"},
                              {E::NonPositivePc, "non-positive PC"},
                              {E::StandardDeviationCannotBe0, "standard deviation cannot be 0"},
                              {E::VectorMustBeSorted, "vector must be sorted"}};
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.text);
        EXPECT_APP_ERROR(Efi::Throw(s.code, 2u), s.text, 2);
    }
    static_assert(E::VectorMustBeSorted == Efi::kStandardErrorCount - 1);
}

TEST(StandardErrors, CodeAndMessageRaiseTheSame) {
    EXPECT_APP_ERROR(Efi::Throw(29, 2), "unknown error", 2);
    EXPECT_APP_ERROR(Efi::Throw("unknown error", 2), "unknown error", 2);
    EXPECT_APP_ERROR(Efi::Throw(0, 1), "must be a number", 1);
}

TEST(StandardErrors, CodesPastTheTableRaiseUnknownError) {
    for (std::uint32_t code : {76u, 77u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_APP_ERROR(Efi::Throw(code, 4u), "unknown error", 4);
    }
    EXPECT_APP_ERROR(Efi::Throw(-1, 4u), "unknown error", 4);
}

// C modules raise through the same road, by the C names of the codes.
TEST(CApi, RaisesAsTheCppApi) {
    const Sample samples[] = {{EFI_ERR_MUST_BE_A_NUMBER, "must be a number"},
                              {EFI_ERR_MUST_BE_BETWEEN_0_AND_1, "must be between 0 and 1"},
                              {EFI_ERR_ILLEGAL_ORIGIN, "illegal ORIGIN"},
                              {EFI_ERR_NON_POSITIVE_PC, "non-positive PC"},
                              {EFI_ERR_VECTOR_MUST_BE_SORTED, "vector must be sorted"},
                              {76, "unknown error"}};
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.text);
        EXPECT_APP_ERROR(efi_throw_code(s.code, 2u), s.text, 2);
    }
    EXPECT_APP_ERROR(efi_throw("maximum 3 columns", 1), "maximum 3 columns", 1);
    EXPECT_APP_ERROR(efi_throw(nullptr, EFI_NO_ARGUMENT), "unknown error", 4294967295u);
}

TEST(CApi, CallMemoryComesFromTheRunningCall) {
    EXPECT_APP_ERROR(efi_call_memory(8), "no call is running", 4294967295u);
    Efi::EfiCallContext call;
    const auto* block = static_cast<const unsigned char*>(efi_call_memory(40));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(double), 0u);
    for (int k = 0; k < 40; ++k) EXPECT_EQ(block[k], 0) << k;
    EXPECT_APP_ERROR(efi_call_memory(std::size_t{1} << 32), "out of memory", 4294967295u);
}

TEST(CApi, MatrixResultsAreMadeOnlyInACallAndOfCountableSize) {
    efi_value result{};
    EXPECT_APP_ERROR(efi_matrix_result(&result, 1, 1, 0), "no call is running", 4294967295u);
    Efi::EfiCallContext call;
    EXPECT_APP_ERROR(efi_matrix_result(&result, 65536, 65537, 1), "out of memory", 4294967295u);
    EXPECT_EQ(result.array.realCols, nullptr);
}

TEST(Throw, MinusOneArgumentMeansNone) {
    EXPECT_APP_ERROR(Efi::Throw(75, Efi::kNoArgument), "vector must be sorted", 4294967295u);
    EXPECT_APP_ERROR(Efi::Throw("overflow", static_cast<std::uint32_t>(-1)), "overflow", 4294967295u);
}

TEST(ErrorText, NamesTheArgumentToBlameOrNone) {
    EXPECT_EQ(Efi::ErrorText("must be scalar", 2), "must be scalar (argument 2)");
    EXPECT_EQ(Efi::ErrorText("file not found", 0), "file not found (argument 0)");  // the call's directory
    EXPECT_EQ(Efi::ErrorText("overflow", Efi::kNoArgument), "overflow");
    try {
        Efi::Throw("must be positive", 1u);
    } catch (const AppException& e) {
        EXPECT_EQ(Efi::ErrorText(e), "must be positive (argument 1)");
    }
}

// What native code threw, in words: a fault's, what() (a worksheet error's
// message alone), else "unknown error", as for nothing thrown.
TEST(ErrorText, ThrownTextOfEachKind) {
    const auto thrown = [](auto e) { return Efi::ThrownText(std::make_exception_ptr(e)); };
    EXPECT_EQ(thrown(SE_FPEOverflow_Exception(EXCEPTION_FLT_OVERFLOW, nullptr)), "overflow");
    EXPECT_EQ(thrown(SE_FPEDivByZero_Exception(EXCEPTION_FLT_DIVIDE_BY_ZERO, nullptr)), "singularity");
    EXPECT_EQ(thrown(std::runtime_error("disk on fire")), "disk on fire");
    EXPECT_EQ(thrown(AppException(u"must be positive", 1)), "must be positive");
    EXPECT_EQ(thrown(42), "unknown error");
    EXPECT_EQ(Efi::ThrownText(nullptr), "unknown error");
}

TEST(Throw, NullMessageRaisesUnknownError) {
    EXPECT_APP_ERROR(Efi::Throw(static_cast<const char*>(nullptr), 7u), "unknown error", 7);
}

TEST(Throw, StatementsAfterItNeverRun) {
    volatile bool after = false;
    auto raise_then_mark = [&] {
        Efi::Throw("must be scalar", 1u);
        after = true;  // unreachable: Throw is noreturn and raises
    };
    EXPECT_THROW(raise_then_mark(), AppException);
    EXPECT_FALSE(after);
}

TEST(Throw, BytesAbove127AreDecodedWithoutLoss) {
    // In the C locale such bytes do not decode: each becomes the Latin-1
    // character of the same value.
    std::setlocale(LC_ALL, "C");
    try {
        Efi::Throw("caf\xE9 \xFF", 1u);
        FAIL();
    } catch (const AppException& e) {
        EXPECT_EQ(e.Message(), std::u16string(u"caf\u00E9 \u00FF"));
    }
    // In a UTF-8 locale the same text decodes as UTF-8.
    if (std::setlocale(LC_ALL, "C.UTF-8")) {
        try {
            Efi::Throw("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82", 1u);
            FAIL();
        } catch (const AppException& e) {
            EXPECT_EQ(e.Message(), std::u16string(u"caf\u00E9 \u20AC \U0001F642"));
        }
        // A stray continuation byte still survives as its Latin-1 character.
        try {
            Efi::Throw("a\x80z", 1u);
            FAIL();
        } catch (const AppException& e) {
            EXPECT_EQ(e.Message(), std::u16string(u"a\u0080z"));
        }
        std::setlocale(LC_ALL, "C");
    }
}

Vrn::Run::Object RealMatrix(int rows, int cols) { return Vrn::Run::make<Qlt::MatVal>(rows, cols, false); }

TEST(IsRMatrix, ColumnVectorOfAnyLength) {
    const Efi::Error::ofsize_t<Qlt::MatVal> column{-1, 1};
    Vrn::Run::Ref<Qlt::MatVal> out;

    Vrn::Run::Object m51 = RealMatrix(5, 1);
    EXPECT_TRUE(Efi::Error::is_rmatrix(m51, column, &out));
    EXPECT_EQ(out.get(), m51.as<Qlt::MatVal>());

    Vrn::Run::Ref<Qlt::MatVal> untouched;
    EXPECT_FALSE(Efi::Error::is_rmatrix(RealMatrix(1, 5), column, &untouched));
    EXPECT_FALSE(Efi::Error::is_rmatrix(Vrn::Run::make<Qlt::MatVal>(5, 1, true), column, &untouched));
    EXPECT_FALSE(Efi::Error::is_rmatrix(Vrn::Run::Number(5.0), column, &untouched));
    EXPECT_FALSE(Efi::Error::is_rmatrix(Vrn::Run::TextUtf8("5"), column, &untouched));
    EXPECT_FALSE(Efi::Error::is_rmatrix(Vrn::Run::Object(), column, &untouched));
    EXPECT_TRUE(untouched.is_null()) << "a failing check must store nothing";

    EXPECT_TRUE(Efi::Error::is_rmatrix(m51, column));
}

TEST(IsRMatrix, AnyShapeAndExactShape) {
    const Efi::Error::ofsize_t<Qlt::MatVal> any{-1, -1};
    EXPECT_TRUE(Efi::Error::is_rmatrix(RealMatrix(1, 5), any));
    EXPECT_TRUE(Efi::Error::is_rmatrix(RealMatrix(0, 0), any));
    EXPECT_FALSE(Efi::Error::is_rmatrix(Vrn::Run::make<Qlt::MatVal>(2, 2, true), any));

    const Efi::Error::ofsize_t<Qlt::MatVal> three_by_two{3, 2};
    EXPECT_TRUE(Efi::Error::is_rmatrix(RealMatrix(3, 2), three_by_two));
    EXPECT_FALSE(Efi::Error::is_rmatrix(RealMatrix(2, 3), three_by_two));
    EXPECT_FALSE(Efi::Error::is_rmatrix(RealMatrix(3, 3), three_by_two));
}

}  // namespace
