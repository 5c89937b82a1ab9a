// An nginx on 127.0.0.1 with its WebDAV modules, over HTTP and over HTTPS
// with a certificate made for the occasion, run as a child in the
// foreground from a generated configuration; its pid file, logs and
// temporary files stay in a private directory.
#pragma once

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lighttpd_server.h"
#include "loopback_server.h"

namespace redirect_test {

/// Runs `argv` to its end with no output; true when it exits 0.
inline bool RunQuietly(const char* const* argv) {
    const pid_t pid = SpawnQuietly(argv);
    int status = 0;
    return pid != 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/// nginx serving `root`:
///   /dav/...          GET, WebDAV PUT (a missing parent collection: 409)
///   /small/...        PUT of more than 1 KiB: 413
///   /readonly/...     PUT forbidden: 403;  /static/...  PUT: 405
///   /fail/..., /full/...   PUT answered 500, 507
///   /auth/...         PUT with user "alice", password "s3cret"
///   /r307auth/P, /r308auth/P   307, 308 to /auth/P on the same server
///   /r307tls/P        307 to https://.../auth/P (another origin)
///   /tohttp/P, /tohttp307/P    302, 307 to http://.../dav/P
///   /gz/P             P.gz as it is, Content-Encoding gzip, whatever was asked
///   /agent            "User-Agent|Accept-Encoding" of the request
///   /connection       the serial number of the connection it came over
class NginxServer {
public:
    explicit NginxServer(const std::filesystem::path& root) {
        for (const char* dir : {"dav", "small", "readonly", "static", "fail", "full", "auth", "gz"}) {
            std::filesystem::create_directories(root / dir);
        }
        const auto& conf = m_conf.path();
        const std::string key = (conf / "key.pem").string(), cert = CertificatePath().string();
        const char* openssl[] = {"openssl",
                                 "req",
                                 "-x509",
                                 "-newkey",
                                 "ec",
                                 "-pkeyopt",
                                 "ec_paramgen_curve:prime256v1",
                                 "-nodes",
                                 "-keyout",
                                 key.c_str(),
                                 "-out",
                                 cert.c_str(),
                                 "-days",
                                 "2",
                                 "-subj",
                                 "/CN=127.0.0.1",
                                 "-addext",
                                 "subjectAltName=IP:127.0.0.1",
                                 nullptr};
        if (!RunQuietly(openssl)) throw std::runtime_error("openssl could not make a certificate");
        WriteFile(conf / "htpasswd", "alice:{PLAIN}s3cret\n");
        const std::string marker = "nginx for " + conf.string();
        WriteFile(root / "marker.txt", marker);
        // As with lighttpd: a port taken between choosing and binding makes
        // nginx exit, and it is tried again on new ports.
        for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
            m_port = FreePort();
            m_tlsPort = FreePort();
            WriteFile(conf / "nginx.conf", Config(root));
            Spawn();
            if (!WaitUntilServing(marker)) Stop();
        }
        if (m_pid <= 0) throw std::runtime_error("nginx did not start: " + ReadFile(conf / "error.log"));
    }
    ~NginxServer() { Stop(); }
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    int port() const { return m_port; }
    std::string TlsUrl(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(m_tlsPort) + path;
    }
    /// The server's certificate, which is its own CA.
    std::filesystem::path CertificatePath() const { return m_conf.path() / "cert.pem"; }

private:
    std::string Config(const std::filesystem::path& root) const {
        const std::string d = m_conf.path().string();
        const std::string http = std::to_string(m_port), https = std::to_string(m_tlsPort);
        std::string c = "daemon off;\nmaster_process off;\n";
        // Without it nginx would take the files of a root it runs as, which
        // only root may read, as "nobody".
        if (::geteuid() == 0) c += "user root;\n";
        c += "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log;\n" +
             "load_module /usr/lib/nginx/modules/ngx_http_dav_ext_module.so;\n" +
             "events { worker_connections 64; }\nhttp {\n  access_log off;\n";
        for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            c += std::string("  ") + kind + "_temp_path " + d + "/" + kind + ";\n";
        }
        c += "  server {\n    listen 127.0.0.1:" + http + ";\n    listen 127.0.0.1:" + https + " ssl;\n" +
             "    ssl_certificate " + d + "/cert.pem;\n    ssl_certificate_key " + d + "/key.pem;\n" + "    root " +
             root.string() + ";\n    client_max_body_size 64m;\n" +
             "    location /dav/ { dav_methods PUT DELETE MKCOL; dav_ext_methods PROPFIND OPTIONS; }\n" +
             "    location /small/ { dav_methods PUT; client_max_body_size 1k; }\n" +
             "    location /readonly/ { limit_except GET { deny all; } }\n" + "    location /static/ { }\n" +
             "    location /fail/ { if ($request_method = PUT) { return 500; } }\n" +
             "    location /full/ { if ($request_method = PUT) { return 507; } }\n" +
             "    location /auth/ { auth_basic \"efi\"; auth_basic_user_file " + d + "/htpasswd; dav_methods PUT; }\n" +
             "    location ~ ^/r307auth/(.*)$ { return 307 /auth/$1; }\n" +
             "    location ~ ^/r308auth/(.*)$ { return 308 /auth/$1; }\n" +
             "    location ~ ^/r307tls/(.*)$ { return 307 https://127.0.0.1:" + https + "/auth/$1; }\n" +
             "    location ~ ^/tohttp/(.*)$ { return 302 http://127.0.0.1:" + http + "/dav/$1; }\n" +
             "    location ~ ^/tohttp307/(.*)$ { return 307 http://127.0.0.1:" + http + "/dav/$1; }\n" +
             "    location /gz/ { gzip_static always; }\n" +
             "    location = /agent { return 200 \"$http_user_agent|$http_accept_encoding\"; }\n" +
             "    location = /connection { return 200 \"$connection\"; }\n" + "  }\n}\n";
        return c;
    }

    void Spawn() {
        const std::string d = m_conf.path().string(), conf = d + "/nginx.conf", log = d + "/error.log";
        const char* program = std::filesystem::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
        const char* argv[] = {program, "-e", log.c_str(), "-p", d.c_str(), "-c", conf.c_str(), nullptr};
        m_pid = SpawnQuietly(argv);  // it writes to its log
    }

    bool WaitUntilServing(const std::string& marker) { return ServesMarker(m_pid, m_port, marker); }

    void Stop() { StopChild(m_pid); }

    ScratchDir m_conf;
    pid_t m_pid = 0;
    int m_port = 0;
    int m_tlsPort = 0;
};

}  // namespace redirect_test
