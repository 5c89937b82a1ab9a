// An extension module that moves a remote resource through the redirector,
// for tests that interrupt a host in the middle of a transfer.
#include <efi/efi.h>

#include <cstdio>
#include <string>

using Efi::User::Value;

extern "C" {

/// fetch(url): the size of the downloaded resource.
std::uint32_t fetch(Value* result, const Value* url) {
    try {
        CHTTPRedirector r(url->text, "", CHTTPRedirector::eRead);
        std::FILE* f = std::fopen(r.GetFullFileName(), "rb");
        long size = f != nullptr && std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
        if (f != nullptr) std::fclose(f);
        result->real = static_cast<double>(size);
        return 0;
    } catch (const _com_error&) {
        return (1u << 16) | 1u;
    }
}

/// store(url): writes 16 MiB to the resource; their size.
std::uint32_t store(Value* result, const Value* url) {
    try {
        {
            CHTTPRedirector r(url->text, "", CHTTPRedirector::eWrite);
            std::FILE* f = std::fopen(r.GetFullFileName(), "wb");
            if (f == nullptr) return (1u << 16) | 1u;
            const std::string block(1 << 20, 'x');
            for (int i = 0; i < 16; ++i) std::fwrite(block.data(), 1, block.size(), f);
            std::fclose(f);
        }
        result->real = 16.0 * (1 << 20);
        return 0;
    } catch (const _com_error&) {
        return (1u << 16) | 1u;
    }
}

}  // extern "C"

namespace {

const std::int32_t kText[] = {8};
const char* const kMessages[] = {"transfer failed"};

const efi_function_entry kFunctions[] = {
    {"fetch", reinterpret_cast<efi_entry_fn>(&fetch), 1, 1, kText, 1, kMessages},
    {"store", reinterpret_cast<efi_entry_fn>(&store), 1, 1, kText, 1, kMessages},
};

}  // namespace

EFI_MODULE_TABLE(kFunctions);
