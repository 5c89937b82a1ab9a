// The channel's messages and host values on it: see wire.h.
#include "bridge/isolation/wire.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace Efi::detail::wire {

namespace {

enum class Tag : std::uint8_t { Null = 0, Number, Matrix, Text, Function, Other };

// What the worker hands the bridge for a host value of a kind that does not
// cross (a function, an opaque value): the bridge refuses either by kind
// alone, so a stand-in of the same kind gets the same error.
class StandIn final : public Vrn::Run::HostValue {
public:
    StandIn() noexcept : HostValue(Kind::Other) {}
};

Vrn::Run::Object FunctionStandIn() {
    return Vrn::Run::Func(1, [](std::span<const Vrn::Run::Object>) -> Vrn::Run::Object {
        Vrn::Run::AppException::Raise(u"must be a function", 1);
    });
}

// Writes the part of a plane the matrix covers, column by column.
void Plane(Writer& w, const Qlt::MatVal& m, const Qlt::DoubleArray& plane) {
    const std::size_t rows = static_cast<std::size_t>(m.Rows());
    if (m.Ld() == m.Rows()) {
        w.Bytes(plane.data() + m.Index(0, 0), rows * static_cast<std::size_t>(m.Cols()) * sizeof(double));
        return;
    }
    for (int c = 0; c < m.Cols(); ++c) w.Bytes(plane.data() + m.Index(0, c), rows * sizeof(double));
}

void Matrix(Writer& w, const Qlt::MatVal& m) {
    w.Put<std::int32_t>(m.Rows());
    w.Put<std::int32_t>(m.Cols());
    w.Put<std::uint8_t>(m.HasImag() ? 1 : 0);
    if (m.Rows() > 0 && m.Cols() > 0) {
        Plane(w, m, m.m_rarr);
        if (m.HasImag()) Plane(w, m, m.m_iarr);
    }
    std::uint32_t nested = 0;
    if (m.HasPtrs()) m.IteratePtrs([&](int, int, const Vrn::Run::Object&) { ++nested; });
    w.Put(nested);
    if (nested)
        m.IteratePtrs([&](int row, int col, const Vrn::Run::Object& e) {
            w.Put<std::int32_t>(row);
            w.Put<std::int32_t>(col);
            w.Value(e);
        });
}

Vrn::Run::Object ReadMatrix(Reader& r) {
    const auto rows = r.Get<std::int32_t>();
    const auto cols = r.Get<std::int32_t>();
    const bool imag = r.Get<std::uint8_t>() != 0;
    if (rows < 0 || cols < 0) throw ChannelBroken{};
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    Qlt::DoubleArray re = Qlt::DoubleArray::make_for_overwrite(count), im;
    if (imag) im = Qlt::DoubleArray::make_for_overwrite(count);
    if (count) {
        r.Bytes(re.data(), count * sizeof(double));
        if (imag) r.Bytes(im.data(), count * sizeof(double));
    }
    auto m = Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), rows, cols);
    for (auto nested = r.Get<std::uint32_t>(); nested > 0; --nested) {
        const auto row = r.Get<std::int32_t>();
        const auto col = r.Get<std::int32_t>();
        if (row < 0 || col < 0 || row >= rows || col >= cols) throw ChannelBroken{};
        m->SetNested(row, col, r.Value());
    }
    return m;
}

// One byte on the socket with room for one descriptor beside it: how an
// area's descriptor travels.
struct DescriptorMessage {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    DescriptorMessage() {
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;  // points into itself
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

// Passes a new area's descriptor on the socket.
bool SendDescriptor(int socket, int fd) {
    DescriptorMessage d;
    cmsghdr* c = CMSG_FIRSTHDR(&d.msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    for (;;) {
        if (::sendmsg(socket, &d.msg, MSG_NOSIGNAL) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

// The descriptor that a message announcing a new area was preceded by.
int ReceiveDescriptor(int socket) {
    DescriptorMessage d;
    ssize_t n;
    do n = ::recvmsg(socket, &d.msg, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&d.msg); c; c = CMSG_NXTHDR(&d.msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    if (n != 1 || fd < 0) throw ChannelBroken{};
    return fd;
}

// Reads at least `least` and at most `most` bytes; how many. The writer's
// end closed first is a broken channel.
std::size_t ReadSome(int fd, char* out, std::size_t most, std::size_t least) {
    std::size_t have = 0;
    while (have < least) {
        const ssize_t n = ::read(fd, out + have, most - have);
        if (n > 0) have += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR) throw ChannelBroken{};
    }
    return have;
}

// A new shared area of at least `size` bytes: an anonymous memory file,
// so nothing is named and nothing is left behind however either side ends;
// it goes with its last descriptor and mapping. Its descriptor, to pass on.
int NewArea(Area& area, std::size_t size) {
    // Grown by half again, so a run of growing bodies remaps rarely.
    const std::size_t page = 4096;
    const std::size_t want = (std::max(size, area.size + area.size / 2) + page - 1) / page * page;
    const int fd = ::memfd_create("efi-channel", MFD_CLOEXEC);
    if (fd < 0) throw std::bad_alloc();
    void* map = MAP_FAILED;
    if (::ftruncate(fd, static_cast<off_t>(want)) == 0)
        map = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        ::close(fd);
        throw std::bad_alloc();
    }
    if (area.map) ::munmap(area.map, area.size);
    area.map = map;
    area.size = want;
    return fd;
}

// Maps the area the other side passed in place of the one it replaces.
void TakeArea(Area& area, int fd) {
    struct stat st;
    void* map = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) throw ChannelBroken{};
    if (area.map) ::munmap(area.map, area.size);
    area.map = map;
    area.size = static_cast<std::size_t>(st.st_size);
}

}  // namespace

void Writer::Bytes(const void* p, std::size_t n) {
    if (m_out && n) std::memcpy(m_out + m_size, p, n);
    m_size += n;
}

void Writer::Utf8(std::string_view s) {
    Put<std::uint64_t>(s.size());
    Bytes(s.data(), s.size());
}

void Writer::Utf16(std::u16string_view s) {
    Put<std::uint64_t>(s.size());
    Bytes(s.data(), s.size() * sizeof(char16_t));
}

void Writer::Value(const Vrn::Run::Object& v) {
    if (!v) return Put(Tag::Null);
    if (const auto* n = v.as<Qlt::NumVal>()) {
        Put(Tag::Number);
        Put(n->Data.rp);
        Put(n->Data.ip);
    } else if (const auto* m = v.as<Qlt::MatVal>()) {
        Put(Tag::Matrix);
        Matrix(*this, *m);
    } else if (const auto* s = v.as<Vrn::Run::String>()) {
        Put(Tag::Text);
        Utf16(s->str());
    } else {
        Put(v.as<Vrn::Run::Function>() ? Tag::Function : Tag::Other);
    }
}

void Reader::Bytes(void* p, std::size_t n) {
    if (n > m_body.size() - m_at) throw ChannelBroken{};
    if (n) std::memcpy(p, m_body.data() + m_at, n);
    m_at += n;
}

std::string Reader::Utf8() {
    const auto n = Get<std::uint64_t>();
    if (n > m_body.size() - m_at) throw ChannelBroken{};
    std::string s(m_body.data() + m_at, n);
    m_at += n;
    return s;
}

std::u16string Reader::Utf16() {
    const auto n = Get<std::uint64_t>();
    if (n > (m_body.size() - m_at) / sizeof(char16_t)) throw ChannelBroken{};
    std::u16string s(n, u'\0');
    Bytes(s.data(), n * sizeof(char16_t));
    return s;
}

Vrn::Run::Object Reader::Value() {
    switch (Get<Tag>()) {
        case Tag::Null: return nullptr;
        case Tag::Number: {
            const auto re = Get<double>();
            return Vrn::Run::make<Qlt::NumVal>(re, Get<double>());
        }
        case Tag::Matrix: return ReadMatrix(*this);
        case Tag::Text: return Vrn::Run::Text(Utf16());
        case Tag::Function: return FunctionStandIn();
        case Tag::Other: return Vrn::Run::make<StandIn>();
    }
    throw ChannelBroken{};
}

void Channel::Close() noexcept {
    for (int* fd : {&m_read, &m_write, &m_descriptors}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    for (Area* a : {&m_out, &m_in}) {
        if (a->map) ::munmap(a->map, a->size);
        *a = Area{};
    }
}

bool Channel::Write(const void* data, std::size_t size) noexcept {
    // Writing to a pipe whose reader has gone raises SIGPIPE, which would
    // end a host that keeps its default action: blocked around the write,
    // and a SIGPIPE the write left pending is taken back.
    sigset_t pipeSignal, previous;
    if (m_quietPipe) {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    }
    const char* p = static_cast<const char*>(data);
    bool ok = true;
    while (size > 0) {
        const ssize_t n = ::write(m_write, p, size);
        if (n >= 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    if (m_quietPipe) {
        if (!ok && errno == EPIPE) {
            const timespec now{0, 0};
            ::sigtimedwait(&pipeSignal, nullptr, &now);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    return ok;
}

bool SendBody(Channel& channel, Kind kind, std::size_t size, void (*write)(void*, char*), void* context) {
    if (size <= kMaxInlineBody) {
        // Small bodies are written on the stack behind the header, and the
        // message goes in one write.
        alignas(Header) char message[sizeof(Header) + kMaxInlineBody];
        const Header header{kind, 0, size};
        std::memcpy(message, &header, sizeof header);
        write(context, message + sizeof header);
        return channel.Write(message, sizeof header + size);
    }
    const int file = size > channel.m_out.size ? NewArea(channel.m_out, size) : -1;
    write(context, static_cast<char*>(channel.m_out.map));
    const Header header{kind, file >= 0 ? 2u : 1u, size};
    // A new area's descriptor goes first, so it waits on the socket when
    // the message that names it arrives.
    const bool passed = file < 0 || SendDescriptor(channel.m_descriptors, file);
    if (file >= 0) ::close(file);
    return passed && channel.Write(&header, sizeof header);
}

// Waits awake, for a moment, for something to read on `fd`. The other side
// mostly answers within microseconds (a call's result, the next call of a
// sweep of single calls), and waking a process that sleeps on the pipe
// costs more than that, on a virtual machine most of the round trip. Past
// the moment the caller sleeps as before, so an idle side costs nothing.
void AwaitBriefly(int fd) {
    constexpr auto kAwake = std::chrono::microseconds(50);
    const auto until = std::chrono::steady_clock::now() + kAwake;
    pollfd p{fd, POLLIN, 0};
    do {
        if (::poll(&p, 1, 0) != 0) return;
        ::sched_yield();  // the other side may be waiting for this processor
    } while (std::chrono::steady_clock::now() < until);
}

bool Receive(Channel& channel, Message& out, int timeoutMs) {
    AwaitBriefly(channel.m_read);
    if (timeoutMs >= 0) {
        pollfd p{channel.m_read, POLLIN, 0};
        int ready;
        do ready = ::poll(&p, 1, timeoutMs);
        while (ready < 0 && errno == EINTR);
        if (ready == 0) return false;
    }
    // Not cleared: only what the message fills is read. Messages alternate,
    // so the pipe holds at most this one: a read takes whatever of it has
    // arrived, the header and a small body mostly at once.
    constexpr std::size_t kWhole = sizeof(Header) + kMaxInlineBody;
    if (!channel.m_message) channel.m_message.reset(new char[kWhole]);
    char* message = channel.m_message.get();
    std::size_t have = ReadSome(channel.m_read, message, kWhole, sizeof(Header));
    Header header;
    std::memcpy(&header, message, sizeof header);
    out.kind = header.kind;
    if (!header.inFile) {
        if (header.size > kMaxInlineBody) throw ChannelBroken{};
        if (have < sizeof header + header.size)
            ReadSome(channel.m_read, message + have, kWhole - have, sizeof header + header.size - have);
        out.m_body = std::span<const char>(message + sizeof header, header.size);
        return true;
    }
    if (have != sizeof header) throw ChannelBroken{};
    if (header.inFile == 2) TakeArea(channel.m_in, ReceiveDescriptor(channel.m_descriptors));
    if (header.size > channel.m_in.size) throw ChannelBroken{};
    out.m_body = std::span<const char>(static_cast<const char*>(channel.m_in.map), header.size);
    return true;
}

}  // namespace Efi::detail::wire
