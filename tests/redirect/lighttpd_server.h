// A lighttpd on 127.0.0.1 with WebDAV (PUT stores files) and the redirects
// the upload tests need, started from a generated configuration and stopped
// by the process that uses it.
#pragma once

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback_server.h"

namespace redirect_test {

/// A port that was free a moment ago (the kernel's choice for port 0).
inline int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
}

/// The raw reply to `request` sent to 127.0.0.1:`port` ("" when nothing
/// answers); each read waits `seconds` at most.
inline std::string Exchange(int port, const std::string& request, int seconds) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        timeval timeout{seconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buf[4096];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
        }
    }
    if (fd >= 0) ::close(fd);
    return reply;
}

/// The body of GET `path` from 127.0.0.1:`port` ("" when nothing answers).
inline std::string PlainGet(int port, const std::string& path) {
    const std::string reply = Exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", 2);
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

/// Starts `argv` with its output thrown away, never into the caller's
/// pipes, which it would hold open if the caller died first; its pid, or 0
/// when it could not be started.
inline pid_t SpawnQuietly(const char* const* argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

/// Waits until the server child `pid` answers GET /marker.txt on `port`
/// with `marker` (15 s at most). A child that has exited (it could not bind,
/// most likely) is reaped and `pid` cleared.
inline bool ServesMarker(pid_t& pid, int port, const std::string& marker) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = 0;
            return false;
        }
        if (PlainGet(port, "/marker.txt") == marker) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

/// lighttpd serving `root`: GET, WebDAV PUT (a missing parent collection
/// answers 409), LOCK and UNLOCK, and /rNNN/x answering NNN (301, 302, 303, 307, 308) with
/// Location /dav/x.
class LighttpdServer {
public:
    explicit LighttpdServer(const std::filesystem::path& root) {
        std::filesystem::create_directories(root / "dav");
        // The port is found free and then bound by lighttpd, so another
        // program may take it in between: a server that exits, or a port
        // that answers without our marker, is tried again on a new port.
        const std::string marker = "lighttpd for " + m_conf.path().string();
        WriteFile(root / "marker.txt", marker);
        for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
            m_port = FreePort();
            WriteFile(m_conf.path() / "lighttpd.conf", Config(root, m_port));
            Spawn();
            if (!WaitUntilServing(marker)) Stop();
        }
        if (m_pid <= 0) throw std::runtime_error("lighttpd did not start: " + ReadFile(m_conf.path() / "error.log"));
    }
    ~LighttpdServer() { Stop(); }
    LighttpdServer(const LighttpdServer&) = delete;
    LighttpdServer& operator=(const LighttpdServer&) = delete;

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    int port() const { return m_port; }

private:
    std::string Config(const std::filesystem::path& root, int port) const {
        std::string c = "server.document-root = \"" + root.string() + "\"\n" + "server.bind = \"127.0.0.1\"\n" +
                        "server.port = " + std::to_string(port) + "\n" + "server.errorlog = \"" +
                        (m_conf.path() / "error.log").string() + "\"\n" +
                        "server.modules = (\"mod_webdav\", \"mod_redirect\")\n" +
                        "webdav.activate = \"enable\"\nwebdav.is-readonly = \"disable\"\n" +
                        // Locks are offered only with their database.
                        "webdav.sqlite-db-name = \"" + (m_conf.path() / "webdav.db").string() + "\"\n";
        for (const char* code : {"301", "302", "303", "307", "308"}) {
            c += std::string("$HTTP[\"url\"] =~ \"^/r") + code + "/\" {\n  url.redirect = (\"^/r" + code +
                 "/(.*)$\" => \"/dav/$1\")\n  url.redirect-code = " + code + "\n}\n";
        }
        return c;
    }

    void Spawn() {
        const std::string conf = (m_conf.path() / "lighttpd.conf").string();
        const char* program = std::filesystem::exists("/usr/sbin/lighttpd") ? "/usr/sbin/lighttpd" : "lighttpd";
        const char* argv[] = {program, "-D", "-f", conf.c_str(), nullptr};
        if (::posix_spawnp(&m_pid, program, nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) m_pid = 0;
    }

    bool WaitUntilServing(const std::string& marker) { return ServesMarker(m_pid, m_port, marker); }

    void Stop() { StopChild(m_pid); }

    ScratchDir m_conf;
    pid_t m_pid = 0;
    int m_port = 0;
};

}  // namespace redirect_test
