// How the channel's message bodies are written and read: host values (null,
// numbers, matrices with their nested elements, texts, and stand-ins for
// the kinds that do not cross), texts and plain numbers, and a module's
// function table with its descriptions. Bytes in the sender's order: both
// sides are one machine. The transport (transport.h) carries the bodies;
// this code only sees them.
//
// The other side may be a worker running code nobody vouched for: every
// count read from a body is checked against the bytes present, and against
// what a sound body can hold, before anything is sized from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <efi/host/module_loader.h>
#include <vrnrun/vrnrun.h>

namespace Efi::detail::wire {

/// A message the other side sent breaks the channel's rules: a count past
/// the bytes present or past what such a body can hold, an unknown tag or
/// kind, bytes left over.
struct MalformedMessage {};

/// Matrices nest in matrices at most this deep on the channel: far deeper
/// than a worksheet value nests, and shallow enough that reading one is no
/// danger to the reader's stack.
inline constexpr unsigned kMaxNesting = 256;

/// The kinds of foreign exception a Foreign message names.
enum class ForeignKind : std::uint8_t { BadAlloc = 0, WithText = 1, Unknown = 2, Module = 3 };

/// Writes a body, or only counts its bytes when made without a buffer (the
/// first pass, which sizes the buffer the second pass fills).
class Writer {
public:
    Writer() noexcept = default;
    explicit Writer(char* out) noexcept : m_out(out) {}
    std::size_t Size() const noexcept { return m_size; }

    void Bytes(const void* p, std::size_t n);
    template <class T>
    void Put(T v) {
        static_assert(std::is_trivially_copyable_v<T>);
        Bytes(&v, sizeof v);
    }
    void Utf8(std::string_view s);
    void Utf16(std::u16string_view s);
    /// A host value: null, number, matrix (its planes, nested elements
    /// included), text, or a function or other value the worker stands in
    /// for by kind, as the bridge only tells those apart by kind.
    void Value(const Vrn::Run::Object& v);

private:
    char* m_out = nullptr;
    std::size_t m_size = 0;
};

/// Reads a body in place. Whatever does not fit the body, or breaks what a
/// value may be, throws MalformedMessage.
class Reader {
public:
    explicit Reader(std::span<const char> body) noexcept : m_body(body) {}
    /// Bytes not read yet.
    std::size_t Left() const noexcept { return m_body.size() - m_at; }
    /// Throws unless at least `n` bytes are left: for a count, before
    /// anything is sized from it.
    void Need(std::size_t n) const;
    /// Throws unless the body has been read whole.
    void Done() const;
    void Bytes(void* p, std::size_t n);
    template <class T>
    T Get() {
        T v;
        Bytes(&v, sizeof v);
        return v;
    }
    /// A text of at most `most` bytes (more throws before anything is made).
    std::string Utf8(std::size_t most = SIZE_MAX);
    std::u16string Utf16();
    Vrn::Run::Object Value(unsigned depth = 0);

private:
    std::span<const char> m_body;
    std::size_t m_at = 0;
};

/// One function of a module's table as the worker reports it.
struct TableEntry {
    std::string name;
    std::int32_t ret;
    std::vector<std::int32_t> args;
    std::int32_t arity;
    std::string neverCallable;
    FunctionDescription description;

    bool operator==(const TableEntry&) const = default;
};

/// A Table message's body: the module's functions, in the table's order,
/// each with its description. Read, each entry is held to the loader's
/// bounds (a name of 1 to 255 bytes, at most 64 argument codes) and the
/// table to its count; a description to what the loader lets through: no
/// unknown flag, a summary of one line and the help within their bounds,
/// no parameter names or one identifier per argument with no name twice,
/// every text but the messages valid UTF-8, at most 65535 messages. A
/// worker that sends anything else is lying about what its module gave.
void WriteTable(Writer& w, std::span<const ModuleFunction> functions);
std::vector<TableEntry> ReadTable(Reader& r);

}  // namespace Efi::detail::wire
