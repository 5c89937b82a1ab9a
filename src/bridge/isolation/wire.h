// The channel between a host and the worker process that runs a module for
// it: one message at a time over a sequenced-packet socket, the body in the
// packet when it is small and in an anonymous shared-memory file passed
// with it when it is large (matrix planes), written once by the sender and
// read in place by the receiver. Both sides of the channel use this code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <vrnrun/vrnrun.h>

namespace Efi::detail::wire {

/// What a message is. Requests and replies share the numbering: a call's
/// outcome and a callback's outcome are encoded alike.
enum class Kind : std::uint32_t {
    Load = 1,            ///< host → worker: the module's path and the host's locale
    Table,               ///< worker → host: the module's functions
    ModuleRefused,       ///< worker → host: the loader's refusal (text)
    Call,                ///< either way: a function index and host values
    Result,              ///< a host value
    WorksheetError,      ///< a message and the argument to blame
    Fault,               ///< a processor fault's code
    Foreign,             ///< another exception: std::bad_alloc, a what() text, or none
    Held,                ///< an exception the host keeps (a Python one): its index
    Callback,            ///< worker → host: Efi::call_host of a name the worker lacks
    CallbackResult,      ///< host → worker: the callback's number
};

/// The fixed part of every packet. `size` is the body's length; the body
/// follows in the packet, or fills the shared-memory file the packet
/// carries when `inFile` is set.
struct Header {
    Kind kind;
    std::uint32_t inFile;
    std::uint64_t size;
};
static_assert(std::is_standard_layout_v<Header> && sizeof(Header) == 16);

/// Bodies above this go by shared memory: a packet stays well inside the
/// socket's buffer, and a large copy through the kernel would cost two.
inline constexpr std::size_t kMaxInlineBody = 48 * 1024;

/// The kinds of foreign exception a Foreign message names.
enum class ForeignKind : std::uint8_t { BadAlloc = 0, WithText = 1, Unknown = 2 };

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

/// Reads a body in place. A body shorter than its contents claim is a
/// broken channel (ChannelBroken).
class Reader {
public:
    explicit Reader(std::span<const char> body) noexcept : m_body(body) {}
    void Bytes(void* p, std::size_t n);
    template <class T>
    T Get() {
        T v;
        Bytes(&v, sizeof v);
        return v;
    }
    std::string Utf8();
    std::u16string Utf16();
    Vrn::Run::Object Value();

private:
    std::span<const char> m_body;
    std::size_t m_at = 0;
};

/// The other side closed the channel or broke its framing.
struct ChannelBroken {};

/// One received message; the body lives as long as the message.
class Message {
public:
    Message() = default;
    Message(Message&&) noexcept;
    Message& operator=(Message&&) noexcept;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message();

    Kind kind = Kind::Result;
    Reader Body() const noexcept { return Reader(m_body); }

private:
    friend bool Receive(int fd, Message& out, int timeoutMs);
    std::unique_ptr<char[]> m_inline;
    void* m_map = nullptr;
    std::size_t m_mapSize = 0;
    std::span<const char> m_body;
};

/// Sends one message of `kind` whose body `fill(Writer&)` writes; `fill` is
/// run twice, to size the body and to write it. False when the other side
/// has gone (never SIGPIPE).
template <class Fill>
bool Send(int fd, Kind kind, Fill&& fill);

/// Sends a body already sized (SendSized is what Send calls).
bool SendBody(int fd, Kind kind, std::size_t size, void (*write)(void*, char*), void* context);

/// Waits for one message, at most `timeoutMs` (negative: no limit). False
/// on a timeout; throws ChannelBroken when the other side has gone.
bool Receive(int fd, Message& out, int timeoutMs = -1);

template <class Fill>
bool Send(int fd, Kind kind, Fill&& fill) {
    Writer sizing;
    fill(sizing);
    auto write = [](void* context, char* out) {
        Writer w(out);
        (*static_cast<std::remove_reference_t<Fill>*>(context))(w);
    };
    return SendBody(fd, kind, sizing.Size(), write, &fill);
}

}  // namespace Efi::detail::wire
