// The channel's transport: see transport.h.
#include "bridge/isolation/transport.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

namespace Efi::detail::wire {

namespace {

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

// The descriptor that a message announcing a new area was preceded by. It
// was sent before the message, so it is waiting on the socket: not there
// is malformed, not waited for.
int ReceiveDescriptor(int socket) {
    DescriptorMessage d;
    ssize_t n;
    do n = ::recvmsg(socket, &d.msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    int fd = -1;
    if (n > 0)
        for (cmsghdr* c = CMSG_FIRSTHDR(&d.msg); c; c = CMSG_NXTHDR(&d.msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int)) &&
                fd < 0)
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    if (n == 1 && fd >= 0 && !(d.msg.msg_flags & MSG_CTRUNC)) return fd;
    if (fd >= 0) ::close(fd);
    if (n == 0 || (n < 0 && errno != EAGAIN)) throw ChannelBroken{};
    throw MalformedMessage{};
}

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

/// How often a wait with an interrupt check wakes to run it, when no signal
/// interrupts it first (one sent to another thread of the process).
constexpr int kCheckEveryMs = 20;

// Waits until there is something to read on `fd`; false when `deadline`
// passes first. `check`, when given, runs every kCheckEveryMs and whenever
// a signal interrupts the wait: what it throws ends the wait.
bool ReadableBy(int fd, const Deadline& deadline, InterruptCheck check) {
    if (!deadline && !check) return true;
    for (;;) {
        int wait = -1;
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now())
                    .count();
            wait = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, INT_MAX));
        }
        if (check && (wait < 0 || wait > kCheckEveryMs)) wait = kCheckEveryMs;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true;  // the read reports it
        if (check) check();
        if (ready == 0 && deadline && std::chrono::steady_clock::now() >= *deadline) return false;
    }
}

// Reads at least `least` and at most `most` bytes; how many, or 0 when
// `deadline` passes first (a message begun and not finished in time is as
// late as one not begun). The writer's end closed first is a broken channel.
std::size_t ReadSome(int fd, char* out, std::size_t most, std::size_t least, const Deadline& deadline,
                     InterruptCheck check) {
    std::size_t have = 0;
    while (have < least) {
        if (!ReadableBy(fd, deadline, check)) return 0;
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
    const int fd = ::memfd_create("efi-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) throw std::bad_alloc();
    void* map = MAP_FAILED;
    // Sealed against shrinking: the receiver may rely on every page it maps.
    if (::ftruncate(fd, static_cast<off_t>(want)) == 0 && ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) == 0)
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

// Maps the area the other side passed in place of the one it replaces. Only
// a memory file sealed against shrinking is taken: a file the other side
// could cut short under the mapping would fault this side's reads.
void TakeArea(Area& area, int fd) {
    struct stat st;
    void* map = MAP_FAILED;
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals >= 0 && (seals & F_SEAL_SHRINK) && ::fstat(fd, &st) == 0 && st.st_size > 0)
        map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) throw MalformedMessage{};
    if (area.map) ::munmap(area.map, area.size);
    area.map = map;
    area.size = static_cast<std::size_t>(st.st_size);
}

}  // namespace

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

std::size_t Channel::Untaken() const noexcept {
    int bytes = 0;
    return m_write >= 0 && ::ioctl(m_write, FIONREAD, &bytes) == 0 && bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
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
// True when it came (or the poll failed, which the read reports).
bool AwaitBriefly(int fd) {
    constexpr auto kAwake = std::chrono::microseconds(50);
    const auto until = std::chrono::steady_clock::now() + kAwake;
    pollfd p{fd, POLLIN, 0};
    do {
        if (::poll(&p, 1, 0) != 0) return true;
        ::sched_yield();  // the other side may be waiting for this processor
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

bool Receive(Channel& channel, Message& out, int timeoutMs, InterruptCheck check) {
    // A message already there is read at once: the check is for waits.
    if (AwaitBriefly(channel.m_read)) check = nullptr;
    Deadline deadline;
    if (timeoutMs >= 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Not cleared: only what the message fills is read. Messages alternate,
    // so the pipe holds at most this one: a read takes whatever of it has
    // arrived, the header and a small body mostly at once.
    constexpr std::size_t kWhole = sizeof(Header) + kMaxInlineBody;
    if (!channel.m_message) channel.m_message.reset(new char[kWhole]);
    char* message = channel.m_message.get();
    const std::size_t have = ReadSome(channel.m_read, message, kWhole, sizeof(Header), deadline, check);
    if (have == 0) return false;
    Header header;
    std::memcpy(&header, message, sizeof header);
    out.kind = header.kind;
    if (header.inFile > 2) throw MalformedMessage{};
    if (!header.inFile) {
        // The other side sends nothing more before it is answered.
        const std::size_t whole = sizeof header + header.size;
        if (header.size > kMaxInlineBody || have > whole) throw MalformedMessage{};
        if (have < whole && !ReadSome(channel.m_read, message + have, kWhole - have, whole - have, deadline, check))
            return false;
        out.m_body = std::span<const char>(message + sizeof header, header.size);
        return true;
    }
    if (have != sizeof header) throw MalformedMessage{};
    if (header.inFile == 2) TakeArea(channel.m_in, ReceiveDescriptor(channel.m_descriptors));
    if (header.size > channel.m_in.size) throw MalformedMessage{};
    out.m_body = std::span<const char>(static_cast<const char*>(channel.m_in.map), header.size);
    return true;
}

}  // namespace Efi::detail::wire
