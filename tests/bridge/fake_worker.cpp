// A stand-in for efi-worker that answers its host with the bytes a test
// gives it, so the host's side of the channel meets replies no real worker
// sends. Started as the host starts efi-worker (EFI_WORKER names it), with
// the channel on descriptors 3 (from the host), 4 (to it) and 5 (the socket):
//
//   EFI_FAKE_LOAD  hex bytes sent whole, header and all, for the Load message
//   EFI_FAKE_CALL  hex bytes sent for the first Call message
//   EFI_FAKE_AREA  a size: an unsealed memory file of it goes on the socket
//                  before the Call's bytes
//   EFI_FAKE_END   the exit status after the last bytes; unset, the fake
//                  reads nothing more and waits until it is killed
//   EFI_FAKE_PID   a file its process id is written to
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kFromHost = 3, kToHost = 4, kSocket = 5;

std::string Unhex(const char* hex) {
    std::string out;
    for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

// Reads one message of the host's whole (its header and body); false when
// the host has gone.
bool ReadMessage() {
    struct {
        std::uint32_t kind, inFile;
        std::uint64_t size;
    } header;
    std::string body;
    std::size_t have = 0;
    while (have < sizeof header) {
        const ssize_t n = ::read(kFromHost, reinterpret_cast<char*>(&header) + have, sizeof header - have);
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
    }
    body.resize(header.size);
    for (have = 0; have < header.size;) {
        const ssize_t n = ::read(kFromHost, body.data() + have, header.size - have);
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
    }
    return true;
}

void Send(const char* variable) {
    const char* hex = std::getenv(variable);
    if (!hex) return;
    const std::string bytes = Unhex(hex);
    if (::write(kToHost, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::_Exit(90);
}

void PassArea(const char* size) {
    const int fd = ::memfd_create("fake-area", 0);
    if (fd < 0 || ::ftruncate(fd, std::atol(size)) != 0) std::_Exit(91);
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (::sendmsg(kSocket, &msg, 0) != 1) std::_Exit(92);
}

}  // namespace

int main() {
    if (const char* file = std::getenv("EFI_FAKE_PID"))
        if (FILE* f = std::fopen(file, "w")) {
            std::fprintf(f, "%ld\n", static_cast<long>(::getpid()));
            std::fclose(f);
        }
    if (ReadMessage()) {
        Send("EFI_FAKE_LOAD");
        if (std::getenv("EFI_FAKE_CALL") && ReadMessage()) {
            if (const char* size = std::getenv("EFI_FAKE_AREA")) PassArea(size);
            Send("EFI_FAKE_CALL");
        }
    }
    if (const char* end = std::getenv("EFI_FAKE_END")) return std::atoi(end);
    for (;;) ::pause();
}
