// What a host shows and checks of a registered function's signature: the
// kind of value each code of a module table stands for, the name a host
// lists it under, and the six unit conversions with their signatures, so
// that every host registers and lists them alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <efi/host/bridge.h>
#include <efi/host/convert.h>

namespace Efi {

/// The kind of host value an argument or result code takes.
enum class ValueKind { Number, Matrix, Text, File, Unknown };

/// The kind an argument code of a module table asks for: 0 and 1 a number,
/// 2 a matrix, 8 text, 13 and 14 a file name; anything else is unsupported.
constexpr ValueKind ArgumentKind(std::int32_t code) noexcept {
    switch (code) {
        case User::kArgScalar0:
        case User::kArgScalar: return ValueKind::Number;
        case User::kArgMatrix: return ValueKind::Matrix;
        case User::kArgText: return ValueKind::Text;
        case User::kArgFileIn:
        case User::kArgFileOut: return ValueKind::File;
        default: return ValueKind::Unknown;
    }
}

/// The kind a return code gives: 1 a number, 2 a matrix, 8 text.
constexpr ValueKind ResultKind(std::int32_t code) noexcept {
    switch (code) {
        case User::kRetScalar: return ValueKind::Number;
        case User::kRetMatrix: return ValueKind::Matrix;
        case User::kRetText: return ValueKind::Text;
        default: return ValueKind::Unknown;
    }
}

/// The kind's name in a listed signature ("number", …, "unsupported").
constexpr const char* ValueKindName(ValueKind kind) noexcept {
    switch (kind) {
        case ValueKind::Number: return "number";
        case ValueKind::Matrix: return "matrix";
        case ValueKind::Text: return "text";
        case ValueKind::File: return "file";
        case ValueKind::Unknown: break;
    }
    return "unsupported";
}

/// What a module's table says of one function beyond its codes, as every
/// host shows it. All of it is optional: a table of version 1, or an entry
/// without a description, gives empty fields.
struct FunctionDescription {
    std::vector<std::string> params;     ///< one name per argument, or empty when unnamed
    std::vector<std::string> paramHelp;  ///< one text per argument ("" for none), or empty
    std::string summary;                 ///< one line, or empty
    std::string help;                    ///< longer text, or empty
    std::vector<std::string> messages;   ///< the entry's message table (UTF-8), message k-1 for index k
    bool masked = false;                 ///< runs under the masked word, its result judged (EFI_FUNCTION_MASKED)
    bool threadSafe = false;             ///< declared safe to run on several threads at once

    bool operator==(const FunctionDescription&) const = default;
};

/// One of the six conversions as a host registers it.
struct Conversion {
    const char* name;
    ValueKind argument, result;
    Vrn::Run::Object (*convert)(const Vrn::Run::Object&);
};

inline constexpr Conversion kConversions[] = {
    {"fif", ValueKind::Text, ValueKind::Number, &Convert::fif},
    {"fif_inv", ValueKind::Number, ValueKind::Text, &Convert::fif_inv},
    {"dms", ValueKind::Matrix, ValueKind::Number, &Convert::dms},
    {"dms_inv", ValueKind::Number, ValueKind::Matrix, &Convert::dms_inv},
    {"hhmmss", ValueKind::Text, ValueKind::Number, &Convert::hhmmss},
    {"hhmmss_inv", ValueKind::Number, ValueKind::Text, &Convert::hhmmss_inv},
};

}  // namespace Efi
