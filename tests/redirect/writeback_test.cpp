// Write-back against real WebDAV servers, with a second client that changes
// and locks resources between our read and our write-back: an unchanged
// resource is always saved, another client's change is never replaced
// (the edit is kept and named), and locks are taken, honoured and released.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <efi/redirector.h>

#include "apache_server.h"
#include "lighttpd_server.h"
#include "loopback_server.h"
#include "nginx_server.h"

namespace fs = std::filesystem;
using redirect_test::ReadFile;
using redirect_test::ScratchDir;
using redirect_test::WriteFile;

namespace {

constexpr std::int32_t Status(int code) { return static_cast<std::int32_t>(0x80190000u | static_cast<unsigned>(code)); }

/// An answer to the second client: its status and its header lines.
struct Reply {
    int status = 0;
    std::string head;

    /// The value of header `name` ("" when absent).
    std::string Header(const std::string& name) const {
        for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
            const std::size_t colon = head.find(':', at + 2), end = head.find("\r\n", at + 2);
            if (colon < end && strncasecmp(head.c_str() + at + 2, name.c_str(), name.size()) == 0 &&
                colon == at + 2 + name.size()) {
                return head.substr(colon + 2, end - colon - 2);
            }
        }
        return {};
    }
};

/// The second client: one request over a plain socket to 127.0.0.1:`port`.
Reply Send(int port, const std::string& method, const std::string& path, const std::string& headers = "",
           const std::string& body = "") {
    const std::string reply =
        redirect_test::Exchange(port,
                                method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                    "Content-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body,
                                10);
    Reply r;
    r.head = reply.substr(0, reply.find("\r\n\r\n") + 2);
    if (reply.starts_with("HTTP/1.")) r.status = std::atoi(reply.c_str() + 9);
    return r;
}

/// The second client takes an exclusive write lock on `path`; its token, or
/// "" when refused.
std::string LockAsOther(int port, const std::string& path) {
    const Reply r = Send(port, "LOCK", path, "Depth: 0\r\nTimeout: Second-60\r\nContent-Type: application/xml\r\n",
                         "<?xml version=\"1.0\"?><D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:exclusive/>"
                         "</D:lockscope><D:locktype><D:write/></D:locktype></D:lockinfo>");
    const std::string token = r.Header("Lock-Token");
    return r.status == 200 && token.size() > 2 ? token.substr(1, token.size() - 2) : std::string();
}

void UnlockAsOther(int port, const std::string& path, const std::string& token) {
    EXPECT_EQ(Send(port, "UNLOCK", path, "Lock-Token: <" + token + ">\r\n").status, 204);
}

/// What became of an edit of a remote copy.
struct Edit {
    std::int32_t hr = 0;
    std::string text;
    std::string copy;  ///< the local copy's name
};

/// Opens `url` to read and write, runs `meanwhile` (another client's doing)
/// and writes `edit` to the local copy; the object then writes it back.
Edit EditRemote(const std::string& url, const std::string& edit, const std::function<void()>& meanwhile = {}) {
    Edit e;
    try {
        CHTTPRedirector r(url.c_str(), nullptr, CHTTPRedirector::eRead | CHTTPRedirector::eWrite);
        e.copy = r.GetFullFileName();
        if (meanwhile) meanwhile();
        WriteFile(e.copy, edit);
    } catch (const _com_error& error) {
        e.hr = error.Error();
        e.text = error.ErrorMessage();
    }
    return e;
}

/// Expects `e` refused as a change by another client, the edit kept in the
/// copy the text names.
void ExpectKeptAsChanged(const Edit& e, const std::string& edit) {
    EXPECT_EQ(e.hr, Status(412)) << e.text;
    EXPECT_NE(e.text.find("the resource changed on the server since it was read"), std::string::npos) << e.text;
    EXPECT_NE(e.text.find("; the local copy is kept at " + e.copy), std::string::npos) << e.text;
    EXPECT_EQ(ReadFile(e.copy), edit);
    fs::remove(e.copy);
}

/// Apache, nginx and lighttpd for the whole suite; each test gets a private
/// $TMPDIR and checks that no temporary file is left in it.
class WriteBack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
        ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
        s_apacheRoot = new ScratchDir();
        s_apache = new redirect_test::ApacheServer(s_apacheRoot->path());
        s_nginxRoot = new ScratchDir();
        s_nginx = new redirect_test::NginxServer(s_nginxRoot->path());
        s_lighttpdRoot = new ScratchDir();
        s_lighttpd = new redirect_test::LighttpdServer(s_lighttpdRoot->path());
    }
    static void TearDownTestSuite() {
        delete s_lighttpd;
        delete s_lighttpdRoot;
        delete s_nginx;
        delete s_nginxRoot;
        delete s_apache;
        delete s_apacheRoot;
    }
    void SetUp() override { ::setenv("TMPDIR", m_tmp.path().c_str(), 1); }
    void TearDown() override {
        int left = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_tmp.path())) ++left;
        EXPECT_EQ(left, 0) << "a temporary file was left behind";
        ::unsetenv("TMPDIR");
    }

    static inline ScratchDir* s_apacheRoot = nullptr;
    static inline redirect_test::ApacheServer* s_apache = nullptr;
    static inline ScratchDir* s_nginxRoot = nullptr;
    static inline redirect_test::NginxServer* s_nginx = nullptr;
    static inline ScratchDir* s_lighttpdRoot = nullptr;
    static inline redirect_test::LighttpdServer* s_lighttpd = nullptr;
    ScratchDir m_tmp;
};

/// A text that compresses well, `lines` lines long; `mark` makes versions
/// of equal size differ.
std::string Text(char mark, int lines = 200) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += std::string("line ") + mark + " " + std::to_string(1000 + i) + "\n";
    return text;
}

// Apache gives a strong ETag of size and date for a file older than a
// second, a weak one for a newer file (here a file dated ahead, so that the
// weak case holds however slowly the test runs), and the compressed body's
// own ETag under mod_deflate. It grants If-Match on a PUT, but never
// If-Unmodified-Since (even an unchanged resource fails it).
TEST_F(WriteBack, ApacheSavesAnUnchangedResourceAndNeverReplacesAnotherClientsChange) {
    struct Case {
        const char* path;
        int datedHours;         // the file's date, from now
        bool changed;           // by another client on the server, keeping the size
        const char* validator;  // what a plain GET (accepting gzip) shows
    };
    const Case cases[] = {
        {"/dav/strong.txt", -1, false, "strong"},   {"/dav/weak.txt", 1, false, "weak"},
        {"/gz/compressed.txt", -1, false, "gzip"},  {"/gz/weak.txt", 1, false, "weak"},
        {"/dav/strong-v.txt", -1, true, "strong"},  {"/dav/weak-v.txt", 1, true, "weak"},
        {"/gz/compressed-v.txt", -1, true, "gzip"},
    };
    const int port = s_apache->port();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path file = s_apacheRoot->path() / fs::path(c.path).relative_path();
        WriteFile(file, Text('a'));
        const auto date = fs::file_time_type::clock::now() + std::chrono::hours(c.datedHours);
        fs::last_write_time(file, date);
        const Reply before = Send(port, "GET", c.path, "Accept-Encoding: gzip\r\n");
        const std::string etag = before.Header("ETag");
        const std::string shown = etag.starts_with("W/")                   ? "weak"
                                  : etag.find("gzip") != std::string::npos ? "gzip"
                                                                           : "strong";
        EXPECT_EQ(shown, c.validator) << etag;
        const bool weak = std::string(c.validator) == "weak";
        const Edit e = EditRemote(s_apache->Url(c.path), "my edit", [&] {
            if (!c.changed) return;
            WriteFile(file, Text('b'));
            // Within the same second as the version read: the same date.
            if (weak) fs::last_write_time(file, date);
        });
        if (!c.changed) {
            EXPECT_EQ(e.hr, 0) << e.text;
            EXPECT_EQ(ReadFile(file), "my edit");
            continue;
        }
        // The weak ETag of the changed file is the very one read: only the
        // body tells the two versions apart.
        if (weak) {
            EXPECT_EQ(Send(port, "HEAD", c.path).Header("ETag"), etag);
        }
        ExpectKeptAsChanged(e, "my edit");
        EXPECT_EQ(ReadFile(file), Text('b'));
    }
}

// nginx gives a strong ETag and a date but ignores both conditions on a PUT,
// and offers no locks ("DAV: 1"): the ETag is compared just before sending.
TEST_F(WriteBack, NginxSavesAnUnchangedResourceAndRefusesOverAnotherClientsChange) {
    const int port = s_nginx->port();
    for (const bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed" : "unchanged");
        const std::string path = changed ? "/dav/changed.txt" : "/dav/same.txt";
        WriteFile(s_nginxRoot->path() / fs::path(path).relative_path(), Text('a'));
        const Edit e = EditRemote(s_nginx->Url(path), "my edit", [&] {
            if (changed) {
                EXPECT_EQ(Send(port, "PUT", path, "", Text('b')).status, 204);
            }
        });
        if (!changed) {
            EXPECT_EQ(e.hr, 0) << e.text;
            EXPECT_EQ(ReadFile(s_nginxRoot->path() / "dav" / "same.txt"), "my edit");
            continue;
        }
        ExpectKeptAsChanged(e, "my edit");
        EXPECT_EQ(ReadFile(s_nginxRoot->path() / "dav" / "changed.txt"), Text('b'));
    }
}

// lighttpd's WebDAV gives no validator at all: the body read is compared
// with the body read again.
TEST_F(WriteBack, LighttpdSavesAnUnchangedResourceAndNeverReplacesAnotherClientsChange) {
    for (const bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed" : "unchanged");
        const fs::path file = s_lighttpdRoot->path() / (changed ? "changed.txt" : "same.txt");
        WriteFile(file, Text('a'));
        const Edit e = EditRemote(s_lighttpd->Url("/" + file.filename().string()), "my edit", [&] {
            if (changed) WriteFile(file, Text('b'));
        });
        if (!changed) {
            EXPECT_EQ(e.hr, 0) << e.text;
            EXPECT_EQ(ReadFile(file), "my edit");
            continue;
        }
        ExpectKeptAsChanged(e, "my edit");
        EXPECT_EQ(ReadFile(file), Text('b'));
    }
}

// Apache (mod_dav_fs with DavLockDB) and lighttpd (mod_webdav with its
// database) offer locks: the resource is locked from construction to
// destruction, and released however the object ends.
TEST_F(WriteBack, ALockIsHeldWhileTheObjectLivesAndReleasedHoweverItEnds) {
    struct Server {
        const char* name;
        int port;
        std::function<std::string(const std::string&)> url;
        fs::path root;
    };
    const Server servers[] = {
        {"apache", s_apache->port(), [](const std::string& p) { return s_apache->Url("/dav" + p); },
         s_apacheRoot->path() / "dav"},
        {"lighttpd", s_lighttpd->port(), [](const std::string& p) { return s_lighttpd->Url(p); },
         s_lighttpdRoot->path()},
    };
    enum class End { kSaved, kRefused, kAbandoned };
    for (const Server& s : servers) {
        const std::string base = std::string(s.name) == "apache" ? "/dav" : "";
        for (const End end : {End::kSaved, End::kRefused, End::kAbandoned}) {
            SCOPED_TRACE(std::string(s.name) + " " + std::to_string(static_cast<int>(end)));
            const std::string name = "/locked" + std::to_string(static_cast<int>(end)) + ".txt";
            // Dated an hour back: Apache names the version by a strong ETag.
            WriteFile(s.root / name.substr(1), Text('a'));
            fs::last_write_time(s.root / name.substr(1), fs::file_time_type::clock::now() - std::chrono::hours(1));
            Edit e;
            try {
                CHTTPRedirector r(s.url(name).c_str(), nullptr, CHTTPRedirector::eRead | CHTTPRedirector::eWrite);
                e.copy = r.GetFullFileName();
                // Other clients can neither lock nor write it meanwhile.
                EXPECT_EQ(LockAsOther(s.port, base + name), "");
                EXPECT_EQ(Send(s.port, "PUT", base + name, "", Text('b')).status, 423);
                // A change on the server that bypasses the lock is still never replaced.
                if (end == End::kRefused) WriteFile(s.root / name.substr(1), Text('c'));
                if (end == End::kAbandoned) r.Abort();
                WriteFile(e.copy, "my edit");
            } catch (const _com_error& error) {
                e.hr = error.Error();
                e.text = error.ErrorMessage();
            }
            const std::string stored = ReadFile(s.root / name.substr(1));
            if (end == End::kRefused) ExpectKeptAsChanged(e, "my edit");
            EXPECT_EQ(stored, end == End::kSaved ? "my edit" : end == End::kRefused ? Text('c') : Text('a'));
            const std::string token = LockAsOther(s.port, base + name);
            EXPECT_NE(token, "") << "the lock was not released";
            if (!token.empty()) UnlockAsOther(s.port, base + name, token);
        }
    }
}

// The lock is taken for a stated time, so that one left by a process that
// died lapses; it is renewed while the object lives, however long that is.
TEST_F(WriteBack, ALockOutlivesItsTimeoutWhileTheObjectLives) {
    ::setenv("EFI_TRANSFER_LOCK_TIMEOUT", "2", 1);
    const int port = s_apache->port();
    const fs::path file = s_apacheRoot->path() / "dav" / "long.txt";
    WriteFile(file, Text('a'));
    const Edit e = EditRemote(s_apache->Url("/dav/long.txt"), "my edit", [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        const std::string theirs = LockAsOther(port, "/dav/long.txt");
        EXPECT_EQ(theirs, "") << "the lock lapsed while the object lived";
        if (!theirs.empty()) UnlockAsOther(port, "/dav/long.txt", theirs);
    });
    ::unsetenv("EFI_TRANSFER_LOCK_TIMEOUT");
    EXPECT_EQ(e.hr, 0) << e.text;
    EXPECT_EQ(ReadFile(file), "my edit");
    const std::string token = LockAsOther(port, "/dav/long.txt");
    EXPECT_NE(token, "");
    if (!token.empty()) UnlockAsOther(port, "/dav/long.txt", token);
}

// A resource another client has locked is reported when the object is made,
// before anything is edited; an upload without reading is refused in words.
TEST_F(WriteBack, AResourceLockedByAnotherClientIsRefusedAtConstruction) {
    const std::pair<int, std::string> servers[] = {{s_apache->port(), "/dav/theirs.txt"},
                                                   {s_lighttpd->port(), "/theirs.txt"}};
    for (const auto& [port, path] : servers) {
        SCOPED_TRACE(path);
        const fs::path file =
            (port == s_apache->port() ? s_apacheRoot->path() : s_lighttpdRoot->path()) / fs::path(path).relative_path();
        WriteFile(file, Text('a'));
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
        const std::string token = LockAsOther(port, path);
        ASSERT_NE(token, "");
        bool edited = false;
        try {
            CHTTPRedirector r(url.c_str(), nullptr, CHTTPRedirector::eRead | CHTTPRedirector::eWrite);
            edited = true;
        } catch (const _com_error& error) {
            EXPECT_EQ(error.Error(), Status(423));
            EXPECT_EQ(std::string(error.ErrorMessage()),
                      "LOCK " + url + ": the resource is locked by another client (server answered 423)");
        }
        EXPECT_FALSE(edited);
        std::string copy, text;
        try {
            CHTTPRedirector r(url.c_str(), nullptr, CHTTPRedirector::eWrite);
            copy = r.GetFullFileName();
            WriteFile(copy, "my edit");
        } catch (const _com_error& error) {
            text = error.ErrorMessage();
        }
        EXPECT_EQ(text, "PUT " + url + ": the resource is locked by another client (server answered 423)" +
                            "; the local copy is kept at " + copy);
        fs::remove(copy);
        EXPECT_EQ(ReadFile(file), Text('a'));
        UnlockAsOther(port, path, token);
    }
}

}  // namespace
