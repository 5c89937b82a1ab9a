// Shared test helpers: exact worksheet-error assertions and sign-aware
// floating-point equality.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <vrnrun/vrnrun.h>

namespace efitest {

/// Runs `stmt` and checks that it raises the host's application error with
/// exactly `message` and `argument`.
#define EXPECT_APP_ERROR(stmt, message, argument)                                                \
    do {                                                                                         \
        bool efitest_raised = false;                                                             \
        try {                                                                                    \
            stmt;                                                                                \
        } catch (const Vrn::Run::AppException& efitest_e) {                                      \
            efitest_raised = true;                                                               \
            EXPECT_EQ(std::string(efitest_e.what()), std::string(message));                      \
            EXPECT_EQ(efitest_e.Argument(), static_cast<std::uint32_t>(argument));               \
        }                                                                                        \
        EXPECT_TRUE(efitest_raised) << "expected the application error \"" << (message) << "\""; \
    } while (0)

/// Bitwise equality for doubles: -0 differs from +0, every NaN equals a NaN
/// of the same bits.
inline bool SameBits(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    return x == y;
}

/// Equality that respects the sign of zero and treats NaN as equal to NaN.
inline bool SameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

}  // namespace efitest

#include <cfenv>

namespace efitest {

/// Saves the floating-point environment (x87 and SSE control and flags) and
/// restores it on scope exit. A bridge call leaves the host's trapping word
/// 0x273 in force; test code that is not written for trapping arithmetic
/// wraps such calls in one of these.
class FpEnvGuard {
public:
    FpEnvGuard() { std::fegetenv(&m_env); }
    ~FpEnvGuard() { std::fesetenv(&m_env); }
    FpEnvGuard(const FpEnvGuard&) = delete;
    FpEnvGuard& operator=(const FpEnvGuard&) = delete;

private:
    std::fenv_t m_env;
};

/// The x87 control word now in force.
inline std::uint16_t X87ControlWord() {
    std::uint16_t cw;
    asm volatile("fnstcw %0" : "=m"(cw));
    return cw;
}

/// MXCSR now in force.
inline std::uint32_t Mxcsr() {
    std::uint32_t v;
    asm volatile("stmxcsr %0" : "=m"(v));
    return v;
}

}  // namespace efitest
