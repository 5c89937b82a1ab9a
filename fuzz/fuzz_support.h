// Helpers shared by the fuzz targets: a reader that turns the fuzzer's bytes
// into values, and the floating-point guard every target runs under.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

/// A property every input must keep; a broken one is a finding, reported
/// with the condition and its line before the process aborts.
#define REQUIRE(cond)                                                                        \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

namespace efifuzz {

/// Takes values from the front of the input; once it runs dry every value is
/// zero, so a target never reads past the end.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) noexcept : m_data(data), m_left(size) {}

    /// The next sizeof(T) bytes as a T (zero-padded at the end).
    template <class T>
    T take() noexcept {
        T value{};
        const std::size_t n = m_left < sizeof(T) ? m_left : sizeof(T);
        std::memcpy(&value, m_data, n);
        m_data += n;
        m_left -= n;
        return value;
    }
    /// An integer in [0, bound) (0 when bound is 0).
    std::uint32_t below(std::uint32_t bound) noexcept { return bound == 0 ? 0 : take<std::uint32_t>() % bound; }
    /// Up to n raw bytes.
    std::string_view bytes(std::size_t n) noexcept {
        if (n > m_left) n = m_left;
        std::string_view out(reinterpret_cast<const char*>(m_data), n);
        m_data += n;
        m_left -= n;
        return out;
    }
    /// All that is left.
    std::string_view rest() noexcept { return bytes(m_left); }
    bool empty() const noexcept { return m_left == 0; }

private:
    const std::uint8_t* m_data;
    std::size_t m_left;
};

/// UTF-16 text from raw bytes, two bytes a unit (a final odd byte is one unit).
inline std::u16string Utf16Of(std::string_view raw) {
    std::u16string out;
    out.reserve((raw.size() + 1) / 2);
    for (std::size_t i = 0; i < raw.size(); i += 2) {
        const auto lo = static_cast<unsigned char>(raw[i]);
        const auto hi = i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) : 0u;
        out.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return out;
}

/// Text in which every byte is one unit: most unit strings are ASCII, and the
/// fuzzer finds structure sooner this way.
inline std::u16string Latin1Of(std::string_view raw) {
    std::u16string out;
    out.reserve(raw.size());
    for (unsigned char c : raw) out.push_back(c);
    return out;
}

/// Saves the floating-point environment and puts it back: a bridge call
/// leaves the host's trapping control word behind, which the fuzzing engine
/// itself is not written for.
class FpEnvGuard {
public:
    FpEnvGuard() noexcept { std::fegetenv(&m_env); }
    ~FpEnvGuard() { std::fesetenv(&m_env); }
    FpEnvGuard(const FpEnvGuard&) = delete;
    FpEnvGuard& operator=(const FpEnvGuard&) = delete;

private:
    std::fenv_t m_env;
};

}  // namespace efifuzz
