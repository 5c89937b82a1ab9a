// The codec of an isolated module's channel over bodies from a peer that may
// lie: the first byte chooses what the host reads (a value, as a Result
// carries it, or a function table with its descriptions), the rest is the
// body. Whatever the counts claim, the reader either returns what it read,
// the body used up, or throws MalformedMessage; nothing is sized past the
// bytes present.
#include <cstdint>
#include <span>

#include "bridge/isolation/codec.h"
#include "fuzz_support.h"

using namespace Efi::detail::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const char> body(reinterpret_cast<const char*>(data) + 1, size - 1);
    Reader r(body);
    try {
        if (data[0] % 2 == 0) {
            const Vrn::Run::Object v = r.Value();
            r.Done();
            // What was read writes back to the same bytes.
            Writer sizing;
            sizing.Value(v);
            REQUIRE(sizing.Size() <= body.size());
        } else {
            const std::vector<TableEntry> table = ReadTable(r);
            r.Done();
            REQUIRE(table.size() <= body.size());
        }
    } catch (const MalformedMessage&) {
    }
    return 0;
}
