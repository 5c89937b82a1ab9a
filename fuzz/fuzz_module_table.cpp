// The extension-module table reader over malformed tables in memory. The
// table and everything it points at are built from the input, with counts
// that may lie beyond the bounds a table may have: the reader must reject
// those before reading past what is there. A table it accepts must come
// back entry for entry; one it rejects registers nothing and says why.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <efi/host/module_loader.h>
#include <efi/module.h>

#include "fuzz_support.h"

namespace {

extern "C" void NeverCalled() {}

// Counts are honoured with real storage only up to these; a larger count
// is a lie the reader has to catch by its bounds alone.
constexpr std::uint32_t kMaxStoredEntries = 12;
constexpr std::int32_t kMaxStoredArgs = EFI_MODULE_MAX_ARGS;
constexpr std::int32_t kMaxStoredMessages = 8;

// Everything one table points at, owned here.
struct Storage {
    std::vector<std::unique_ptr<char[]>> texts;
    std::vector<std::vector<std::int32_t>> args;
    std::vector<std::vector<const char*>> messages;
    std::vector<efi_function_entry> entries;
    std::vector<std::vector<efi_parameter>> params;
    std::vector<efi_function_info> info;

    // A name or message, NUL-terminated. A name of 256 bytes and more
    // (beyond the longest allowed) may lack its terminator: the reader must
    // stop looking at the bound. Messages have no bound, so they always end.
    const char* Text(efifuzz::ByteReader& in, std::uint8_t how, bool isName) {
        if (how % 8 == 0) return nullptr;
        std::string_view raw = in.bytes(in.below(how & 0x80 ? 320 : 24));
        const bool terminated = !isName || raw.size() < 256 || (how & 0x40) == 0;
        auto buf = std::make_unique<char[]>(raw.size() + (terminated ? 1 : 0));
        std::memcpy(buf.get(), raw.data(), raw.size());
        if (terminated) buf[raw.size()] = '\0';
        texts.push_back(std::move(buf));
        return texts.back().get();
    }

    // An array holding min(count, cap) elements; null for no array at all.
    template <class T, class Fill>
    T* Array(std::vector<std::vector<T>>& pool, std::int32_t count, std::int32_t cap, bool none, Fill fill) {
        if (none) return nullptr;
        const std::int32_t stored = count < 0 ? 0 : (count < cap ? count : cap);
        pool.emplace_back(static_cast<std::size_t>(stored) + 1);  // never a zero-length array
        for (std::int32_t k = 0; k < stored; ++k) pool.back()[static_cast<std::size_t>(k)] = fill();
        return pool.back().data();
    }
};

std::int32_t TakeCount(efifuzz::ByteReader& in, std::int32_t usual) {
    const std::uint8_t how = in.take<std::uint8_t>();
    if (how < 0xF0) return static_cast<std::int32_t>(how % static_cast<std::uint8_t>(usual + 1));
    return in.take<std::int32_t>();  // anything at all, negative and huge included
}

efi_function_entry TakeEntry(Storage& s, efifuzz::ByteReader& in) {
    efi_function_entry e{};
    const std::uint8_t how = in.take<std::uint8_t>();
    e.name = s.Text(in, how, true);
    e.entry = (how & 0x20) ? nullptr : reinterpret_cast<efi_entry_fn>(&NeverCalled);
    e.ret = static_cast<std::int32_t>(in.take<std::int8_t>());
    e.nargs = TakeCount(in, 11);
    e.args = s.Array(s.args, e.nargs, kMaxStoredArgs, in.take<std::uint8_t>() == 0xFF,
                     [&] { return static_cast<std::int32_t>(in.take<std::int8_t>()); });
    e.nmessages = TakeCount(in, 3);
    e.messages = s.Array(s.messages, e.nmessages, kMaxStoredMessages, in.take<std::uint8_t>() == 0xFF,
                         [&] { return static_cast<const char*>(s.Text(in, in.take<std::uint8_t>(), false)); });
    return e;
}

// A description of `e`: parameters only for an entry whose count the reader
// accepts (it refuses any other before reading them), texts of any bytes,
// flags of any bits.
efi_function_info TakeInfo(Storage& s, efifuzz::ByteReader& in, const efi_function_entry& e) {
    efi_function_info info{};
    const std::uint8_t how = in.take<std::uint8_t>();
    if ((how & 0x01) && e.nargs >= 0 && e.nargs <= EFI_MODULE_MAX_ARGS)
        info.params = s.Array(s.params, e.nargs, kMaxStoredArgs, false, [&] {
            const std::uint8_t nameHow = in.take<std::uint8_t>();
            return efi_parameter{s.Text(in, nameHow, true), s.Text(in, in.take<std::uint8_t>(), false)};
        });
    info.summary = s.Text(in, in.take<std::uint8_t>(), false);
    info.help = s.Text(in, in.take<std::uint8_t>(), false);
    info.flags = (how & 0x02) ? in.take<std::uint32_t>() : (how >> 2) & 3u;
    return info;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    efifuzz::ByteReader in(data, size);
    Storage s;
    efi_module_table table{};
    const std::uint8_t how = in.take<std::uint8_t>();
    table.version = (how & 0x80) ? in.take<std::uint32_t>() : EFI_MODULE_VERSION;
    table.count = (how & 0x40) ? in.take<std::uint32_t>() : how % (kMaxStoredEntries + 1);
    const std::uint32_t stored = table.count < kMaxStoredEntries ? table.count : kMaxStoredEntries;
    s.entries.reserve(stored + 1);
    for (std::uint32_t k = 0; k < stored; ++k) s.entries.push_back(TakeEntry(s, in));
    s.entries.emplace_back();
    table.functions = (how & 0x20) ? nullptr : s.entries.data();
    // Descriptions, when the next byte asks for them, one per stored entry.
    if (in.take<std::uint8_t>() & 1) {
        s.info.reserve(stored + 1);
        for (std::uint32_t k = 0; k < stored; ++k) s.info.push_back(TakeInfo(s, in, s.entries[k]));
        s.info.emplace_back();
        table.info = s.info.data();
    }

    try {
        const std::vector<Efi::ModuleFunction> fns = Efi::ReadModuleTable((how & 0x10) ? nullptr : &table, "fuzz");
        REQUIRE(fns.size() == table.count);
        for (std::uint32_t k = 0; k < table.count; ++k) {
            const efi_function_entry& e = s.entries[k];
            REQUIRE(fns[k].name == e.name && fns[k].ret == e.ret);
            REQUIRE(fns[k].args.size() == static_cast<std::size_t>(e.nargs));
            REQUIRE(std::equal(fns[k].args.begin(), fns[k].args.end(), e.args));
            REQUIRE(fns[k].function.is<Vrn::Run::Function>());
            const Efi::FunctionDescription& d = fns[k].description;
            REQUIRE(d.messages.size() == static_cast<std::size_t>(e.nmessages));
            const bool described = table.version == EFI_MODULE_VERSION && table.info && k < s.info.size();
            const bool named = described && s.info[k].params;
            REQUIRE(d.params.size() == (named ? static_cast<std::size_t>(e.nargs) : 0u));
            REQUIRE(d.masked == (described && (s.info[k].flags & EFI_FUNCTION_MASKED)));
        }
    } catch (const Efi::ModuleError& e) {
        REQUIRE(std::strncmp(e.what(), "module \"fuzz\"", 13) == 0);
    }
    return 0;
}
