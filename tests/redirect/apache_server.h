// An Apache httpd on 127.0.0.1 with WebDAV and its lock database, run as a
// child in the foreground from a generated configuration; its pid file,
// logs and lock database stay in a private directory.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "lighttpd_server.h"
#include "loopback_server.h"

namespace redirect_test {

/// Apache serving `root`:
///   /dav/...   GET, WebDAV PUT, LOCK and UNLOCK
///   /gz/...    the same, bodies compressed for a client that accepts it
class ApacheServer {
public:
    explicit ApacheServer(const std::filesystem::path& root) {
        namespace fs = std::filesystem;
        for (const char* dir : {"dav", "gz"}) fs::create_directories(root / dir);
        fs::create_directories(m_conf.path() / "lock");
        // Run by root, its workers run as "nobody": they must reach the
        // files to serve, store them and keep the lock database.
        for (const fs::path& p : {root, root / "dav", root / "gz", m_conf.path() / "lock"}) {
            fs::permissions(p, fs::perms::all);
        }
        fs::permissions(m_conf.path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
        const std::string marker = "apache for " + m_conf.path().string();
        WriteFile(root / "marker.txt", marker);
        // As with lighttpd: a port taken between choosing and binding makes
        // the server exit, and it is tried again on a new port.
        for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
            m_port = FreePort();
            WriteFile(m_conf.path() / "httpd.conf", Config(root));
            Spawn();
            if (!ServesMarker(m_pid, m_port, marker)) StopChild(m_pid);
        }
        if (m_pid <= 0) throw std::runtime_error("apache did not start: " + ReadFile(m_conf.path() / "error.log"));
    }
    ~ApacheServer() { StopChild(m_pid); }
    ApacheServer(const ApacheServer&) = delete;
    ApacheServer& operator=(const ApacheServer&) = delete;

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    int port() const { return m_port; }

private:
    std::string Config(const std::filesystem::path& root) const {
        const std::string d = m_conf.path().string(), modules = "/usr/lib/apache2/modules/";
        std::string c = "ServerRoot \"" + d + "\"\nServerName 127.0.0.1\nListen 127.0.0.1:" + std::to_string(m_port) +
                        "\nPidFile \"" + d + "/httpd.pid\"\nErrorLog \"" + d + "/error.log\"\nLogLevel warn\n";
        for (const char* module : {"mpm_event", "authz_core", "mime", "dav", "dav_fs", "filter", "deflate"}) {
            c += std::string("LoadModule ") + module + "_module " + modules + "mod_" + module + ".so\n";
        }
        c += "User nobody\nGroup nogroup\nTypesConfig /dev/null\nDocumentRoot \"" + root.string() + "\"\n" +
             "DavLockDB \"" + d + "/lock/db\"\n<Directory \"" + root.string() + "\">\n  Require all granted\n" +
             "</Directory>\n<Location \"/dav/\">\n  Dav On\n</Location>\n" +
             "<Location \"/gz/\">\n  Dav On\n  SetOutputFilter DEFLATE\n</Location>\n";
        return c;
    }

    void Spawn() {
        const std::string conf = (m_conf.path() / "httpd.conf").string();
        const char* program = std::filesystem::exists("/usr/sbin/apache2") ? "/usr/sbin/apache2" : "apache2";
        const char* argv[] = {program, "-f", conf.c_str(), "-DFOREGROUND", nullptr};
        m_pid = SpawnQuietly(argv);
    }

    ScratchDir m_conf;
    pid_t m_pid = 0;
    int m_port = 0;
};

}  // namespace redirect_test
