// The channel's transport between a host and the worker process that runs a
// module for it: one message at a time through a pipe each way (a round trip through
// pipes costs about half of one through a local socket), the body in the
// message when it is small and in shared memory when it is large (matrix
// planes), written once by the sender and read in place by the receiver; a
// local socket beside them carries the shared memory's descriptors. Both
// sides of the channel use this code.
//
// Messages strictly alternate: a side sends only after it has read the other
// side's last message whole. So each direction has one shared area, an
// anonymous memory file that the sender makes (and makes anew, larger, when
// a body outgrows it) and passes with the first message that uses it; both
// sides keep it mapped, and its pages stay resident from call to call.
// What a body holds is the codec's (codec.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "bridge/isolation/codec.h"

namespace Efi::detail::wire {

/// What a message is. Requests and replies share the numbering: a call's
/// outcome and a callback's outcome are encoded alike.
enum class Kind : std::uint32_t {
    Load = 1,        ///< host → worker: the module's path and the host's locale
    Table,           ///< worker → host: the module's functions
    ModuleRefused,   ///< worker → host: the loader's refusal (text)
    Call,            ///< either way: a function index and host values
    Result,          ///< a host value
    WorksheetError,  ///< a message and the argument to blame
    Fault,           ///< a processor fault's code
    Foreign,         ///< another exception: std::bad_alloc, a what() text, or none
    Held,            ///< an exception the host keeps (a Python one): its index
    Callback,        ///< worker → host: Efi::call_host of a name the worker lacks
    CallbackResult,  ///< host → worker: the callback's number
    RequestRefused,  ///< worker → host: a request it cannot serve (text); it ends
};

/// The fixed part of every message. `size` is the body's length; the body
/// follows in the pipe, or lies in the sender's shared area when `inFile`
/// is set (2: a new area, whose descriptor waits on the socket).
struct Header {
    Kind kind;
    std::uint32_t inFile;
    std::uint64_t size;
};
static_assert(std::is_standard_layout_v<Header> && sizeof(Header) == 16);

/// Bodies above this go by shared memory: a message stays well inside the
/// pipe's buffer, and a large copy through the kernel would cost two.
inline constexpr std::size_t kMaxInlineBody = 48 * 1024;

/// Run while a side waits for a message: what it throws ends the wait.
using InterruptCheck = void (*)();

/// One shared area, as one side maps it.
struct Area {
    void* map = nullptr;
    std::size_t size = 0;
};

/// One end of a channel: the pipe it reads, the pipe it writes, the socket
/// for descriptors and the two areas as this side maps them.
class Channel {
public:
    Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel() { Close(); }

    bool open() const noexcept { return m_read >= 0; }
    /// Bytes this side wrote that the other side has not read (a request
    /// still waiting when the other side ended).
    std::size_t Untaken() const noexcept;
    /// Closes the descriptors and unmaps both areas.
    void Close() noexcept;
    /// Takes the descriptors (after Close). `quietPipe`: a write to a side
    /// that has gone must not raise SIGPIPE in this process (the host's,
    /// whose handling of it is the host's own).
    void Reset(int read, int write, int descriptors, bool quietPipe) noexcept {
        Close();
        m_read = read;
        m_write = write;
        m_descriptors = descriptors;
        m_quietPipe = quietPipe;
    }

private:
    friend bool SendBody(Channel&, Kind, std::size_t, void (*)(void*, char*), void*);
    friend bool Receive(Channel&, class Message&, int, InterruptCheck);
    bool Write(const void* data, std::size_t size) noexcept;
    int m_read = -1, m_write = -1, m_descriptors = -1;
    bool m_quietPipe = false;
    Area m_out;                         ///< what this side writes
    Area m_in;                          ///< what the other side writes
    std::unique_ptr<char[]> m_message;  ///< the last message received
};

/// The other side has gone: it closed its end of the channel.
struct ChannelBroken {};

/// One received message. Its body is valid until the next message is
/// received on the channel (it may lie in the shared area): read it first.
class Message {
public:
    Kind kind = Kind::Result;
    Reader Body() const noexcept { return Reader(m_body); }

private:
    friend bool Receive(Channel&, Message&, int, InterruptCheck);
    std::span<const char> m_body;
};

/// Sends one message of `kind` whose body `fill(Writer&)` writes; `fill` is
/// run twice, to size the body and to write it. False when the other side
/// has gone (never SIGPIPE).
template <class Fill>
bool Send(Channel& channel, Kind kind, Fill&& fill);

/// Sends a body already sized (what Send calls).
bool SendBody(Channel& channel, Kind kind, std::size_t size, void (*write)(void*, char*), void* context);

/// Waits for one message, whole, at most `timeoutMs` (negative: no limit).
/// False on a timeout; throws ChannelBroken when the other side has gone
/// and MalformedMessage when what it sent breaks the channel's framing (a
/// kind is the caller's to check). `check`, when given, runs every few
/// milliseconds of the wait and whenever a signal interrupts it; what it
/// throws leaves the channel in the middle of a message.
bool Receive(Channel& channel, Message& out, int timeoutMs = -1, InterruptCheck check = nullptr);

template <class Fill>
bool Send(Channel& channel, Kind kind, Fill&& fill) {
    Writer sizing;
    fill(sizing);
    auto write = [](void* context, char* out) {
        Writer w(out);
        (*static_cast<std::remove_reference_t<Fill>*>(context))(w);
    };
    return SendBody(channel, kind, sizing.Size(), write, &fill);
}

}  // namespace Efi::detail::wire
