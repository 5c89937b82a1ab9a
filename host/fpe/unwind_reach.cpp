// See unwind_reach.h. The walk reads the same tables the unwinder would,
// without running anything: no personality routine, no clean-up.
#include "unwind_reach.h"

#include <unwind.h>

#include <cstdint>

namespace Vrn::Run::detail {

namespace {

// DWARF pointer encodings (the low four bits give the value's format).
constexpr std::uint8_t kOmit = 0xFF;
constexpr std::uint8_t kAbsolute = 0x00, kUleb128 = 0x01, kUdata2 = 0x02, kUdata4 = 0x03, kUdata8 = 0x04,
                       kSleb128 = 0x09, kSdata2 = 0x0A, kSdata4 = 0x0B, kSdata8 = 0x0C;

const std::uint8_t* ReadUleb128(const std::uint8_t* p, std::uint64_t& value) {
    value = 0;
    unsigned shift = 0;
    std::uint8_t byte;
    do {
        byte = *p++;
        if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        shift += 7;
    } while (byte & 0x80);
    return p;
}

template <class T>
const std::uint8_t* ReadFixed(const std::uint8_t* p, std::uint64_t& value) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    value = static_cast<std::uint64_t>(v);
    return p + sizeof v;
}

// The value of one encoded field, its application bits (relative to what)
// ignored: call-site offsets carry none, and the landing-pad base is skipped.
// Null for a format this reader does not know.
const std::uint8_t* ReadEncoded(const std::uint8_t* p, std::uint8_t encoding, std::uint64_t& value) {
    switch (encoding & 0x0F) {
        case kAbsolute:
        case kUdata8:
        case kSdata8: return ReadFixed<std::uint64_t>(p, value);
        case kUleb128:
        case kSleb128: return ReadUleb128(p, value);  // offsets are never negative
        case kUdata2: return ReadFixed<std::uint16_t>(p, value);
        case kSdata2: return ReadFixed<std::int16_t>(p, value);
        case kUdata4: return ReadFixed<std::uint32_t>(p, value);
        case kSdata4: return ReadFixed<std::int32_t>(p, value);
        default: return nullptr;
    }
}

// Whether the language-specific table at `lsda` of the function starting at
// `start` lists `ip` in its call-site table, as the C++ personality routine
// looks it up: an address in no entry makes it end the process.
bool CallSiteCovers(const std::uint8_t* lsda, std::uintptr_t start, std::uintptr_t ip) {
    const std::uint8_t* p = lsda;
    std::uint64_t ignored;
    const std::uint8_t landingBase = *p++;
    if (landingBase != kOmit && !(p = ReadEncoded(p, landingBase, ignored))) return false;
    if (*p++ != kOmit) p = ReadUleb128(p, ignored);  // type table offset
    const std::uint8_t callSites = *p++;
    std::uint64_t length;
    p = ReadUleb128(p, length);
    const std::uint8_t* end = p + length;
    while (p && p < end) {
        std::uint64_t from, size, landing, action;
        if (!(p = ReadEncoded(p, callSites, from)) || !(p = ReadEncoded(p, callSites, size)) ||
            !(p = ReadEncoded(p, callSites, landing)))
            return false;
        p = ReadUleb128(p, action);
        if (ip < start + from) return false;  // entries are sorted
        if (ip < start + from + size) return true;
    }
    return false;
}

struct Walk {
    std::uintptr_t invoker;
    bool atFault = false;  // past the handler's own frames and the signal frame
    bool reaches = false;
};

_Unwind_Reason_Code Step(_Unwind_Context* context, void* state) {
    Walk& walk = *static_cast<Walk*>(state);
    int beforeInstruction = 0;
    const std::uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
    // The frame interrupted by the signal is the first whose address is the
    // instruction itself rather than a return address.
    if (!walk.atFault && !beforeInstruction) return _URC_NO_REASON;
    walk.atFault = true;
    // The CFA a step reports is the stack pointer of the frame it reached,
    // at its call (or fault): above the invoker's, the walk has passed the
    // invoker, whose own call site was looked at one step before.
    if (_Unwind_GetCFA(context) > walk.invoker) {
        walk.reaches = true;
        return _URC_END_OF_STACK;
    }
    const auto* lsda = static_cast<const std::uint8_t*>(_Unwind_GetLanguageSpecificData(context));
    // A return address is looked up one byte back, inside its call.
    const std::uintptr_t at = beforeInstruction ? ip : ip - 1;
    if (lsda && !CallSiteCovers(lsda, _Unwind_GetRegionStart(context), at)) return _URC_END_OF_STACK;
    return _URC_NO_REASON;
}

}  // namespace

bool UnwindReaches(const void* invoker) noexcept {
    Walk walk{reinterpret_cast<std::uintptr_t>(invoker)};
    // Ends early (a frame without entries, a table that does not cover its
    // address) with `reaches` still false.
    _Unwind_Backtrace(&Step, &walk);
    return walk.reaches;
}

}  // namespace Vrn::Run::detail
