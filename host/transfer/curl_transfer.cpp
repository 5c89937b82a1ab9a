// Transfers over libcurl: GET (or FTP retrieve) into a file, PUT (or FTP
// store) from a file.
#include "curl_transfer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "redirect/user_info.h"

namespace Vrn::Transfer::detail {

/// What a transfer came to: kOk, or a failing code and its text.
struct Outcome {
    HResult hr = kOk;
    std::string text;
};

namespace {

// The receive buffer: as large as the curl tool's; a larger one was no
// faster (see bench/README.md, "The transfer's receive buffer").
constexpr long kBufferSize = 100L * 1024L;
// How much of a download is gathered before it is written to the file.
constexpr size_t kWriteBlockSize = 256 * 1024;
constexpr long kConnectTimeoutSeconds = 30;
// A transfer that averages less than 1 KiB a second over a minute is dead:
// waiting on it only fills the temporary directory.
constexpr long kSpeedFloorBytes = 1024;
constexpr long kSpeedFloorSeconds = 60;
constexpr long kMaxRedirects = 10;
// Only protocols that move a resource both ways: dict:, telnet: and the
// like would talk to arbitrary services. A file: URL given by the caller is
// a local copy, but a server's redirect must never reach local files.
constexpr char kProtocols[] = "http,https,ftp,ftps,sftp,scp,file";
constexpr char kRedirectProtocols[] = "http,https,ftp,ftps";
// What began encrypted stays encrypted: a redirect to http would send a
// PUT's body, and any credentials, in the clear.
constexpr char kSecureRedirectProtocols[] = "https,ftps";
constexpr char kUserAgent[] = "efi/" VRN_TRANSFER_VERSION;
// The settings a user can change, and the CA files they may name.
constexpr char kConnectTimeoutVariable[] = "EFI_TRANSFER_CONNECT_TIMEOUT";
constexpr char kSpeedFloorVariable[] = "EFI_TRANSFER_SPEED_FLOOR";
constexpr char kTimeoutVariable[] = "EFI_TRANSFER_TIMEOUT";
constexpr char kLockSecondsVariable[] = "EFI_TRANSFER_LOCK_TIMEOUT";
// How long a write lock lasts unless renewed or released: a lock left by a
// process that died keeps other clients out no longer than this.
constexpr long kLockSeconds = 600;
// An exclusive write lock, owned by this program.
constexpr char kLockRequest[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:exclusive/></D:lockscope>"
    "<D:locktype><D:write/></D:locktype><D:owner>efi</D:owner></D:lockinfo>\n";
constexpr std::string_view kDigestPrefix = "Content-SHA256: ";
// Longest URL an error text shows; a longer one is cut and marked.
constexpr std::size_t kShownUrlLength = 200;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

/// Connections, TLS sessions and name lookups shared by the transfers of
/// one thread: many small files from one server cost one handshake, not one
/// each. The transport does not support one connection cache used by
/// concurrent threads, even under locks, and extension code may start
/// transfers from threads of its own; so each thread keeps its own, and
/// nothing of it is ever touched by two threads.
class SharedState {
public:
    SharedState() : m_share(MakeShare()), m_owner(::getpid()) {}
    /// Every easy handle of the thread is gone by then: transfers clean
    /// theirs up before they return.
    ~SharedState() {
        if (m_share != nullptr) curl_share_cleanup(m_share);
        s_gone = true;
    }
    SharedState(const SharedState&) = delete;
    SharedState& operator=(const SharedState&) = delete;

    /// The calling thread's share, or null once the thread's state is gone
    /// (a transfer run by an object destroyed at exit after it): such a
    /// transfer opens connections of its own.
    static CURLSH* ForThisThread() {
        if (s_gone) return nullptr;
        thread_local SharedState state;
        state.LeaveInheritedShare();
        return state.m_share;
    }

private:
    static CURLSH* MakeShare() {
        CURLSH* share = curl_share_init();
        if (share == nullptr) return nullptr;
        // One thread only, so nothing to lock; but without lock callbacks
        // the transport keeps no connection in the share (measured: every
        // download of a series paid a new handshake).
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &NoLock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &NoUnlock);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        return share;
    }

    /// A process made by fork has its parent's share, whose connections are
    /// the parent's sockets: a request over one would mix with the parent's
    /// requests on the same stream, and cleaning the share up would end the
    /// parent's TLS sessions. The child leaves it untouched (its memory goes
    /// with the process) and starts a share of its own.
    void LeaveInheritedShare() {
        const pid_t self = ::getpid();
        if (self == m_owner) return;
        m_owner = self;
        m_share = MakeShare();
    }

    static void NoLock(CURL*, curl_lock_data, curl_lock_access, void*) {}
    static void NoUnlock(CURL*, curl_lock_data, void*) {}

    CURLSH* m_share;
    pid_t m_owner;  ///< the process whose connections the share holds
    // Trivially destructible, so still readable after the state is gone.
    static thread_local bool s_gone;
};

thread_local bool SharedState::s_gone = false;

/// Owns an easy handle and the header list it uses.
struct Easy {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    ~Easy() {
        curl_easy_cleanup(handle);
        curl_slist_free_all(headers);
    }
};

/// Owns a file descriptor.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

struct CurlUrlDeleter {
    void operator()(CURLU* h) const noexcept { curl_url_cleanup(h); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

/// Writes all of `data`; returns 0 or the failing call's errno.
int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

/// The SHA-256 digest of a body, fed as it arrives.
class Digest {
public:
    Digest() : m_ctx(EVP_MD_CTX_new()) {
        if (m_ctx != nullptr && EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) != 1) m_failed = true;
    }
    ~Digest() { EVP_MD_CTX_free(m_ctx); }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void Add(const char* data, size_t size) {
        if (m_ctx == nullptr || EVP_DigestUpdate(m_ctx, data, size) != 1) m_failed = true;
    }
    /// The digest in hexadecimal; "" when it could not be computed (then
    /// nothing can be compared with it).
    std::string Hex() {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (m_ctx == nullptr || m_failed || EVP_DigestFinal_ex(m_ctx, value, &size) != 1) return {};
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < size; ++i) {
            text += kHex[value[i] >> 4];
            text += kHex[value[i] & 15];
        }
        return text;
    }

private:
    EVP_MD_CTX* m_ctx;
    bool m_failed = m_ctx == nullptr;
};

size_t DigestBody(char* data, size_t size, size_t count, void* user) {
    static_cast<Digest*>(user)->Add(data, size * count);
    return size * count;
}

bool ETagNamesTheVersion(CURL* h);

/// Where the body goes and what went wrong writing it. libcurl hands the
/// body over in pieces of at most 16 KiB; gathering them into large blocks
/// saves most of the write calls, which cost more than the copy.
struct Sink {
    int fd;
    Digest* digest = nullptr;  ///< fed with the body when set
    CURL* handle = nullptr;    ///< the transfer, whose headers may make the digest needless
    // Not zeroed: a small body never touches most of it.
    std::unique_ptr<char[]> block{new char[kWriteBlockSize]};
    size_t used = 0;
    int error = 0;

    /// Writes out what was gathered; false (with `error` set) on failure.
    bool Flush() {
        error = WriteAll(fd, block.get(), used);
        used = 0;
        return error == 0;
    }
};

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t total = size * count;
    if (sink->digest != nullptr && sink->handle != nullptr) {
        // The headers are in by the body's first piece: where an ETag names
        // the version, the digest would never be used.
        if (ETagNamesTheVersion(sink->handle)) sink->digest = nullptr;
        sink->handle = nullptr;
    }
    if (sink->digest != nullptr) sink->digest->Add(data, total);
    // Anything short of `total` aborts the transfer.
    if (sink->used + total > kWriteBlockSize && !sink->Flush()) return 0;
    if (total > kWriteBlockSize) {
        sink->error = WriteAll(sink->fd, data, total);
        return sink->error == 0 ? total : 0;
    }
    std::memcpy(sink->block.get() + sink->used, data, total);
    sink->used += total;
    return total;
}

/// An upload's answer is a status; its body (a confirmation page) is not
/// anybody's data and must not reach the program's standard output.
size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

/// Where the upload comes from and what went wrong reading it.
struct Source {
    int fd;
    int error = 0;
};

size_t ReadFromFile(char* buffer, size_t size, size_t count, void* user) {
    auto* source = static_cast<Source*>(user);
    for (;;) {
        ssize_t n = ::read(source->fd, buffer, size * count);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        source->error = errno;
        return CURL_READFUNC_ABORT;
    }
}

/// libcurl rewinds the body when it must send it again (a retry on a
/// reused connection, an authentication round).
int SeekFile(void* user, curl_off_t offset, int origin) {
    auto* source = static_cast<Source*>(user);
    return ::lseek(source->fd, static_cast<off_t>(offset), origin) < 0 ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
}

/// The scheme of `url` in lower case ("" when it has none). The transport
/// takes a scheme only where "://" follows it: "alice:pw@host/x" has none
/// and is read as http with "alice:pw" its user-info.
std::string SchemeOf(std::string_view url) {
    std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || url.find_first_of("/?#") < colon || url.substr(colon, 3) != "://") return {};
    std::string scheme(url.substr(0, colon));
    for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return scheme;
}

bool IsHttp(std::string_view scheme) { return scheme == "http" || scheme == "https"; }

/// Whether a server may redirect a transfer to `scheme` (kRedirectProtocols).
bool IsRedirectProtocol(std::string_view scheme) { return IsHttp(scheme) || scheme == "ftp" || scheme == "ftps"; }

/// Whether the transfer just performed spoke HTTP, so that its status
/// decides; FTP and file: transfers succeed by libcurl's own result.
bool SpokeHttp(CURL* h) {
    char* scheme = nullptr;
    curl_easy_getinfo(h, CURLINFO_SCHEME, &scheme);
    return scheme != nullptr && (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0);
}

long ResponseCode(CURL* h) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

/// `text` cut to `limit` characters, the cut marked.
std::string Capped(std::string text, std::size_t limit) {
    if (text.size() > limit) {
        text.resize(limit - 3);
        text += "...";
    }
    return text;
}

/// How an error text names a transfer: "GET"/"PUT" for HTTP, otherwise the
/// protocol and the direction ("FTP download", "FILE upload").
std::string Operation(const std::string& scheme, bool upload) {
    if (IsHttp(scheme)) return upload ? "PUT" : "GET";
    if (scheme.empty()) return upload ? "upload" : "download";
    std::string name = scheme;
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    return name + (upload ? " upload" : " download");
}

/// The limits of one transfer: the built-in values unless the environment
/// sets them.
struct Limits {
    long connectSeconds = kConnectTimeoutSeconds;
    long floorBytes = kSpeedFloorBytes;
    long floorSeconds = kSpeedFloorSeconds;
    long totalSeconds = 0;  // none
};

/// A whole number 0 to 10^9 from all of `text`.
std::optional<long> WholeNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n <= 1000000000L ? std::optional<long>(n) : std::nullopt;
}

Outcome BadSetting(const char* variable, const char* value, const char* form) {
    return {kFail, std::string(variable) + " must be " + form + ", not \"" + Capped(value, 40) + "\""};
}

/// Reads the limits from the environment; a value that does not read is a
/// failure naming the variable, never silently replaced by a default.
Outcome ReadLimits(Limits& limits) {
    if (const char* v = std::getenv(kConnectTimeoutVariable); v != nullptr && *v != '\0') {
        const auto n = WholeNumber(v);
        if (!n) return BadSetting(kConnectTimeoutVariable, v, "a whole number of seconds");
        limits.connectSeconds = *n;
    }
    if (const char* v = std::getenv(kTimeoutVariable); v != nullptr && *v != '\0') {
        const auto n = WholeNumber(v);
        if (!n) return BadSetting(kTimeoutVariable, v, "a whole number of seconds (0: no limit)");
        limits.totalSeconds = *n;
    }
    if (const char* v = std::getenv(kLockSecondsVariable); v != nullptr && *v != '\0') {
        const auto n = WholeNumber(v);
        if (!n || *n == 0) return BadSetting(kLockSecondsVariable, v, "a whole number of seconds from 1");
    }
    if (const char* v = std::getenv(kSpeedFloorVariable); v != nullptr && *v != '\0') {
        const std::string_view text = v;
        const std::size_t slash = text.find('/');
        const auto bytes = WholeNumber(text.substr(0, slash));
        const auto seconds = slash == std::string_view::npos ? std::nullopt : WholeNumber(text.substr(slash + 1));
        if (!bytes || !seconds) return BadSetting(kSpeedFloorVariable, v, "BYTES/SECONDS (0/0: no floor)");
        limits.floorBytes = *bytes;
        limits.floorSeconds = *seconds;
    }
    return {};
}

/// The value of the first of `names` that is set and not empty, else null.
const char* FirstSet(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* v = std::getenv(name);
        if (v != nullptr && *v != '\0') return v;
    }
    return nullptr;
}

/// The seconds a lock is taken for: kLockSeconds unless the environment
/// names a whole number from 1 (a value that does not read is ignored here
/// and refused by the transfer, which reads every setting).
long LockSeconds() {
    const char* v = std::getenv(kLockSecondsVariable);
    const auto n = v != nullptr ? WholeNumber(v) : std::nullopt;
    return n && *n > 0 ? *n : kLockSeconds;
}

std::string LockTimeoutHeader() { return "Timeout: Second-" + std::to_string(LockSeconds()); }

bool IsEncrypted(std::string_view scheme) {
    return scheme == "https" || scheme == "ftps" || scheme == "sftp" || scheme == "scp";
}

Outcome SetCommonOptions(Easy& easy, const std::string& url) {
    Limits limits;
    if (Outcome o = ReadLimits(limits); Failed(o.hr)) return o;
    CURL* h = easy.handle;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, easy.error);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SHARE, SharedState::ForThisThread());
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR,
                     IsEncrypted(SchemeOf(url)) ? kSecureRedirectProtocols : kRedirectProtocols);
    // A status of 400 and above is a failure, and its body (an error page)
    // is never delivered as the resource's content.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.floorBytes);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.floorSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, limits.totalSeconds);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kBufferSize);
    // A private CA is trusted the way the curl tool trusts it, without
    // changing the machine's store.
    if (const char* file = FirstSet({"CURL_CA_BUNDLE", "SSL_CERT_FILE"})) curl_easy_setopt(h, CURLOPT_CAINFO, file);
    if (const char* dir = FirstSet({"SSL_CERT_DIR"})) curl_easy_setopt(h, CURLOPT_CAPATH, dir);
    return {};
}

Outcome FileFailure(const char* what, const char* path, int error) {
    return {kFileError | (error & 0xFFFF),
            std::string("cannot ") + what + " " + Capped(path, kShownUrlLength) + ": " + std::strerror(error)};
}

/// `url` as an error text shows it: without credentials, also where the
/// transport guesses its scheme, and cut to a readable length.
std::string ShownUrl(const std::string& url) {
    constexpr std::string_view kGuessed = "http://";
    const std::string bare = SchemeOf(url).empty()
                                 ? Efi::detail::WithoutUserInfo(std::string(kGuessed) + url).substr(kGuessed.size())
                                 : Efi::detail::WithoutUserInfo(url);
    return Capped(bare, kShownUrlLength);
}

/// A failure of the transfer of `url`, named by its protocol.
Outcome TransferFailure(HResult hr, const std::string& url, bool upload, const std::string& reason) {
    return {hr, Operation(SchemeOf(url), upload) + " " + ShownUrl(url) + ": " + reason};
}

/// What a refusal of an upload means to the user who wrote the file; null
/// where the status says nothing more than its number.
const char* UploadRefusal(long code) {
    switch (code) {
        case 403: return "the server does not allow this resource to be written";
        case 405: return "the server does not accept uploads to this URL";
        case 409:
            return "the resource conflicts with what the server holds: a folder on its path is missing, or a folder "
                   "has its name";
        case 412: return "the resource changed on the server since it was read";
        case 413: return "the file is larger than the server accepts";
        case 423: return "the resource is locked by another client";
        case 507: return "the server has no room left to store the file";
        default: return nullptr;
    }
}

Outcome StatusFailure(const std::string& url, bool upload, long code) {
    std::string reason = "server answered " + std::to_string(code);
    if (const char* meaning = upload ? UploadRefusal(code) : nullptr) reason = meaning + (" (" + reason + ")");
    return TransferFailure(kHttpStatusBase | static_cast<HResult>(code & 0xFFFF), url, upload, reason);
}

/// A failure of another request than the transfer itself (OPTIONS, LOCK,
/// HEAD ...), named by its method.
Outcome RequestFailure(HResult hr, const char* method, const std::string& url, const std::string& reason) {
    return {hr, std::string(method) + " " + ShownUrl(url) + ": " + reason};
}

/// The refusal of an upload whose resource another client changed, found
/// before anything was sent.
Outcome ChangedBeforeSending(const std::string& url) {
    return TransferFailure(kHttpStatusBase | 412, url, true,
                           "the resource changed on the server since it was read (found before sending; nothing "
                           "was sent)");
}

Outcome CurlFailure(const std::string& url, bool upload, CURLcode rc, const char* detail) {
    return TransferFailure(kTransportBase + static_cast<HResult>(rc), url, upload,
                           detail[0] != '\0' ? detail : curl_easy_strerror(rc));
}

/// A redirect to a protocol this transfer may not follow.
Outcome RefusedRedirect(const std::string& url, bool upload) {
    return TransferFailure(kTransportBase + CURLE_UNSUPPORTED_PROTOCOL, url, upload,
                           IsEncrypted(SchemeOf(url)) ? "redirected to an unencrypted protocol, which is not followed"
                                                      : "redirected to a protocol that is not followed");
}

/// The value of header `name` of the final answer, or "".
std::string FinalHeader(CURL* h, const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(h, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || header == nullptr) return {};
    return header->value;
}

/// The strong ETag of the plain body of the answer just received, or "". A
/// weak ETag never matches a condition on a write (and may name two
/// versions made within the same second), and the ETag of a compressed body
/// names that encoding, never the plain resource a write sends.
std::string StrongPlainETag(CURL* h) {
    const std::string etag = FinalHeader(h, "ETag");
    const std::string encoding = FinalHeader(h, "Content-Encoding");
    const bool encoded = !encoding.empty() && strcasecmp(encoding.c_str(), "identity") != 0;
    return etag.empty() || etag.starts_with("W/") || encoded ? std::string() : etag;
}

/// Whether the resource of the answer just received was changed within a
/// second of the answer, by the server's own clock. Some servers make a
/// "strong" ETag of the size and the date to the second: another change of
/// the same size in that second would keep it, so it cannot name the
/// version read.
bool ChangedWithinASecond(CURL* h) {
    const std::string modified = FinalHeader(h, "Last-Modified"), date = FinalHeader(h, "Date");
    if (modified.empty() || date.empty()) return false;
    const time_t m = curl_getdate(modified.c_str(), nullptr), d = curl_getdate(date.c_str(), nullptr);
    return m < 0 || d < 0 || m + 1 >= d;
}

/// Whether the answer's strong ETag names the version of its plain body
/// for a write-back.
bool ETagNamesTheVersion(CURL* h) { return SpokeHttp(h) && !StrongPlainETag(h).empty() && !ChangedWithinASecond(h); }

/// How the last download names the version it brought: a strong ETag of
/// the plain body (for a write-back, of a resource last changed more than
/// a second before); else, for a download to be written back, the body's
/// digest (no condition a server grants on a write could tell that version
/// from another made in the same second); else the modification date.
std::string VersionOf(CURL* h, Digest* digest, bool writeBack) {
    if (!SpokeHttp(h)) return {};
    const std::string etag = StrongPlainETag(h);
    if (!etag.empty() && (!writeBack || ETagNamesTheVersion(h))) return "If-Match: " + etag;
    // A digest that could not be computed leaves the date, which may refuse
    // an unchanged resource but never replaces a change.
    if (const std::string hex = digest != nullptr ? digest->Hex() : std::string(); !hex.empty()) {
        return std::string(kDigestPrefix) + hex;
    }
    const std::string modified = FinalHeader(h, "Last-Modified");
    if (!modified.empty()) return "If-Unmodified-Since: " + modified;
    return {};
}

/// Whether any DAV header of the answer just received names compliance
/// class 2, which offers locks.
bool OffersLocks(CURL* h) {
    std::size_t amount = 0;
    curl_header* header = nullptr;
    for (std::size_t i = 0;; ++i) {
        if (curl_easy_header(h, "DAV", i, CURLH_HEADER, -1, &header) != CURLHE_OK || header == nullptr) return false;
        amount = header->amount;
        std::string_view list = header->value;
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            std::string_view item = list.substr(0, comma);
            while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
            while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
            if (item == "2") return true;
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        }
        if (i + 1 >= amount) return false;
    }
}

/// The token of a Lock-Token header ("<TOKEN>"), or "" when it holds none
/// that can be sent back in a header.
std::string LockTokenOf(CURL* h) {
    std::string value = FinalHeader(h, "Lock-Token");
    if (value.size() < 3 || value.front() != '<' || value.back() != '>') return {};
    value = value.substr(1, value.size() - 2);
    return value.find_first_of("<>\r\n") == std::string::npos ? value : std::string();
}

/// The answer to a request other than the transfer itself.
struct Answer {
    long code = 0;
    bool locks = false;     ///< a DAV header names class 2
    std::string lockToken;  ///< from a Lock-Token header
    std::string etag;       ///< a strong ETag of the plain body
    std::string anyETag;    ///< the ETag as given, weak or strong
    bool exists = false;    ///< a 2xx answer
};

/// Sends `method` to `url` with `headers` and `body` and reads its answer.
/// A body that comes back feeds `digest` when given (redirects are then
/// followed, as a download follows them), and is discarded otherwise.
Outcome Ask(const std::string& url, const char* method, const std::vector<std::string>& headers, std::string_view body,
            Answer& answer, Digest* digest = nullptr) {
    Easy easy;
    if (easy.handle == nullptr) return {kFail, "cannot start a transfer"};
    if (Outcome o = SetCommonOptions(easy, url); Failed(o.hr)) return o;
    CURL* h = easy.handle;
    // The status is the answer here, whatever it is.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
    if (std::strcmp(method, "HEAD") == 0) {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (std::strcmp(method, "GET") != 0) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
    }
    if (!body.empty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    if (digest != nullptr) {
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &DigestBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, digest);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
        // Asked for the plain body, whose ETag a write can be conditioned
        // on; a body compressed all the same is decoded before its digest.
        curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "identity");
    } else {
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Discard);
    }
    easy.headers = curl_slist_append(nullptr, "Expect:");
    for (const std::string& header : headers) easy.headers = curl_slist_append(easy.headers, header.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.headers);
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        return RequestFailure(kTransportBase + static_cast<HResult>(rc), method, url,
                              easy.error[0] != '\0' ? easy.error : curl_easy_strerror(rc));
    }
    answer.code = ResponseCode(h);
    answer.exists = answer.code >= 200 && answer.code <= 299;
    answer.locks = OffersLocks(h);
    answer.lockToken = LockTokenOf(h);
    answer.etag = StrongPlainETag(h);
    answer.anyETag = FinalHeader(h, "ETag");
    return {};
}

/// The parts of a URL that decide whether two name the same server.
struct Origin {
    std::string scheme, host, port, user, password;
    bool operator==(const Origin& o) const { return scheme == o.scheme && host == o.host && port == o.port; }
};

std::optional<Origin> OriginOf(const std::string& url) {
    CurlUrl parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
    auto part = [&](CURLUPart which, unsigned flags) {
        char* text = nullptr;
        std::string value;
        if (curl_url_get(parsed.get(), which, &text, flags) == CURLUE_OK && text != nullptr) value = text;
        curl_free(text);
        return value;
    };
    return Origin{part(CURLUPART_SCHEME, 0), part(CURLUPART_HOST, 0), part(CURLUPART_PORT, CURLU_DEFAULT_PORT),
                  part(CURLUPART_USER, CURLU_URLDECODE), part(CURLUPART_PASSWORD, CURLU_URLDECODE)};
}

/// Performs a prepared download into `sink`; only a final 200 (for HTTP)
/// or libcurl's success (FTP, file:) brings the resource.
Outcome PerformDownload(Easy& easy, const std::string& url, const char* path, Sink& sink) {
    CURLcode rc = curl_easy_perform(easy.handle);
    if (sink.error != 0) return FileFailure("write", path, sink.error);
    if (rc == CURLE_HTTP_RETURNED_ERROR) return StatusFailure(url, false, ResponseCode(easy.handle));
    // The URL's own protocol is allowed, so a refused one came from a redirect.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && ResponseCode(easy.handle) / 100 == 3) return RefusedRedirect(url, false);
    if (rc != CURLE_OK) return CurlFailure(url, false, rc, easy.error);
    // A redirect that could not be followed, "not modified" or a partial
    // answer leave the resource unknown.
    if (SpokeHttp(easy.handle) && ResponseCode(easy.handle) != 200) {
        return StatusFailure(url, false, ResponseCode(easy.handle));
    }
    if (!sink.Flush()) return FileFailure("write", path, sink.error);
    return {};
}

/// Performs a prepared upload from `source`, following 307 and 308 itself:
/// libcurl would also follow 301, 302 and 303 (and turn the last into a
/// GET), yet only 307 and 308 ask for the same request with the same body.
/// Only a final 2xx (for HTTP) or libcurl's success (FTP, file:) stores it.
/// The URL's credentials go along to the same scheme, host and port only.
Outcome PerformUpload(Easy& easy, const std::string& url, const char* path, Source& source) {
    CURL* h = easy.handle;
    std::string target;
    const std::optional<Origin> origin = OriginOf(url);
    for (long redirects = 0;; ++redirects) {
        CURLcode rc = curl_easy_perform(h);
        if (source.error != 0) return FileFailure("read", path, source.error);
        if (rc == CURLE_HTTP_RETURNED_ERROR) return StatusFailure(url, true, ResponseCode(h));
        if (rc != CURLE_OK) return CurlFailure(url, true, rc, easy.error);
        if (!SpokeHttp(h)) return {};
        const long code = ResponseCode(h);
        if (code >= 200 && code <= 299) return {};
        char* next = nullptr;
        curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &next);
        if ((code != 307 && code != 308) || next == nullptr) return StatusFailure(url, true, code);
        if (redirects == kMaxRedirects) {
            return TransferFailure(kTransportBase + CURLE_TOO_MANY_REDIRECTS, url, true,
                                   "more than " + std::to_string(kMaxRedirects) + " redirects");
        }
        target = next;
        const std::string scheme = SchemeOf(target);
        if (!IsRedirectProtocol(scheme) || (IsEncrypted(SchemeOf(url)) && !IsEncrypted(scheme))) {
            return RefusedRedirect(url, true);
        }
        if (::lseek(source.fd, 0, SEEK_SET) < 0) return FileFailure("read", path, errno);
        curl_easy_setopt(h, CURLOPT_URL, target.c_str());
        const std::optional<Origin> there = OriginOf(target);
        const bool sameOrigin = origin && there && *origin == *there && !origin->user.empty();
        curl_easy_setopt(h, CURLOPT_USERNAME, sameOrigin ? origin->user.c_str() : nullptr);
        curl_easy_setopt(h, CURLOPT_PASSWORD, sameOrigin ? origin->password.c_str() : nullptr);
    }
}

/// One upload of the file open as `source`, `size` bytes, carrying
/// `headers`.
Outcome Put(const std::string& url, const char* path, Source& source, long long size,
            const std::vector<std::string>& headers) {
    Easy easy;
    if (easy.handle == nullptr) return {kFail, "cannot start a transfer"};
    if (::lseek(source.fd, 0, SEEK_SET) < 0) return FileFailure("read", path, errno);
    if (Outcome o = SetCommonOptions(easy, url); Failed(o.hr)) return o;
    curl_easy_setopt(easy.handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_READFUNCTION, &ReadFromFile);
    curl_easy_setopt(easy.handle, CURLOPT_READDATA, &source);
    curl_easy_setopt(easy.handle, CURLOPT_SEEKFUNCTION, &SeekFile);
    curl_easy_setopt(easy.handle, CURLOPT_SEEKDATA, &source);
    curl_easy_setopt(easy.handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(easy.handle, CURLOPT_WRITEFUNCTION, &Discard);
    // The whole body is sent at once; waiting for an interim answer first
    // only adds a round trip (or a second's stall with servers that never
    // send one).
    easy.headers = curl_slist_append(nullptr, "Expect:");
    for (const std::string& header : headers) easy.headers = curl_slist_append(easy.headers, header.c_str());
    curl_easy_setopt(easy.handle, CURLOPT_HTTPHEADER, easy.headers);
    return PerformUpload(easy, url, path, source);
}

/// Whether `token` can be sent back in a header as it is.
bool IsSendableToken(std::string_view token) { return token.find_first_of("<>\r\n") == std::string_view::npos; }

}  // namespace

HResult CurlTransfer::Report(HResult hr, std::string text) {
    m_error = std::move(text);
    return hr;
}

HResult CurlTransfer::OpenURL(const char* url, std::int32_t /*reserved*/, std::int32_t* status) {
    if (status != nullptr) *status = 0;
    if (url == nullptr) return Report(kPointer, "no URL given");
    m_url = url;
    m_open = true;
    return Report(kOk, {});
}

HResult CurlTransfer::DownloadToFile(const char* path) {
    if (path == nullptr) return Report(kPointer, "no file given");
    if (!m_open) return Report(kUnexpected, "no URL is open");
    m_version.clear();
    GlobalInit();
    Easy easy;
    if (easy.handle == nullptr) return Report(kFail, "cannot start a transfer");
    // Never through a symbolic link: in a shared temporary directory a link
    // put in the file's place would redirect the write.
    Fd file{::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666)};
    if (file.fd < 0) {
        Outcome o = FileFailure("open", path, errno);
        return Report(o.hr, std::move(o.text));
    }
    // Kept only for a write-back, which needs it where no validator names
    // the version.
    std::optional<Digest> digest;
    if (m_writeBack) digest.emplace();
    m_writeBack = false;
    Sink sink{file.fd, digest ? &*digest : nullptr, digest ? easy.handle : nullptr};
    if (Outcome o = SetCommonOptions(easy, m_url); Failed(o.hr)) return Report(o.hr, std::move(o.text));
    curl_easy_setopt(easy.handle, CURLOPT_WRITEFUNCTION, &WriteToFile);
    curl_easy_setopt(easy.handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(easy.handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    // Any encoding the transport can decode: the file holds the resource,
    // never its compressed form.
    curl_easy_setopt(easy.handle, CURLOPT_ACCEPT_ENCODING, "");
    Outcome o = PerformDownload(easy, m_url, path, sink);
    if (Failed(o.hr)) {
        // Whatever arrived before the failure is not the resource.
        // The failure above is what counts, not whether the cut succeeds.
        [[maybe_unused]] const int cut = ::ftruncate(file.fd, 0);
        return Report(o.hr, std::move(o.text));
    }
    int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) o = FileFailure("write", path, errno);
    if (!Failed(o.hr)) m_version = VersionOf(easy.handle, sink.digest, digest.has_value());
    return Report(o.hr, std::move(o.text));
}

HResult CurlTransfer::UploadFromFile(const char* path) {
    if (path == nullptr) return Report(kPointer, "no file given");
    if (!m_open) return Report(kUnexpected, "no URL is open");
    GlobalInit();
    // A link put in the file's place must not make another file the upload.
    Fd file{::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        Outcome o = FileFailure(file.fd < 0 ? "open" : "read", path, errno);
        return Report(o.hr, std::move(o.text));
    }
    Outcome o = Store(path, file.fd, static_cast<long long>(st.st_size));
    return Report(o.hr, std::move(o.text));
}

Outcome CurlTransfer::Store(const char* path, int fd, long long size) {
    Source source{fd};
    // A lock keeps out only the clients that ask for locks: a change made on
    // the server itself, or over another protocol, is looked for all the
    // same.
    std::string condition;
    if (Outcome o = CurrentCondition(condition, true); Failed(o.hr)) return o;
    std::vector<std::string> headers;
    if (!condition.empty()) headers.push_back(condition);
    if (m_lock.empty() || !IsHttp(SchemeOf(m_url))) return Put(m_url, path, source, size, headers);
    headers.push_back("If: (<" + m_lock + ">)");
    Outcome o = Put(m_url, path, source, size, headers);
    if (o.hr != (kHttpStatusBase | 412)) return o;
    // A lock that lapsed fails the condition too: then the resource as it
    // is now decides, as it does without a lock.
    if (Outcome again = CurrentCondition(condition, false); Failed(again.hr)) {
        return again.hr == (kHttpStatusBase | 412) ? o : again;
    }
    headers.assign(condition.empty() ? 0 : 1, condition);
    return Put(m_url, path, source, size, headers);
}

Outcome CurlTransfer::CurrentCondition(std::string& condition, bool trustLock) {
    condition.clear();
    const std::string_view required = m_condition;
    if (required.empty() || required.starts_with("If-Unmodified-Since: ")) {
        condition = m_condition;
        return {};
    }
    // A server may ignore the condition of a write (some do), and a digest
    // is no condition at all: the resource as it is now is compared with
    // the version read, and a write follows only if they are the same. A
    // server that granted a lock evaluates conditions (locking relies on
    // the If header): its If-Match needs no look beforehand.
    const bool byDigest = required.starts_with(kDigestPrefix);
    if (!byDigest && trustLock && !m_lock.empty()) {
        condition = m_condition;
        return {};
    }
    Digest digest;
    Answer answer;
    if (Outcome o = Ask(m_url, byDigest ? "GET" : "HEAD", {}, {}, answer, byDigest ? &digest : nullptr); Failed(o.hr)) {
        return o;
    }
    if (answer.code == 404 || answer.code == 410) return ChangedBeforeSending(m_url);
    if (byDigest) {
        if (!answer.exists) {
            return TransferFailure(kHttpStatusBase | static_cast<HResult>(answer.code & 0xFFFF), m_url, true,
                                   "the resource could not be read again to check that nobody changed it (server "
                                   "answered " +
                                       std::to_string(answer.code) + ")");
        }
        if (digest.Hex() != required.substr(kDigestPrefix.size())) return ChangedBeforeSending(m_url);
        // The same bytes: their strong ETag, where the server now gives one,
        // makes the write itself conditional.
        if (!answer.etag.empty()) condition = "If-Match: " + answer.etag;
        return {};
    }
    // An ETag other than the one read (even its weak form: the server makes
    // it weak for a change within the last second) is another version.
    if (answer.exists && !answer.anyETag.empty() && "If-Match: " + answer.anyETag != required) {
        return ChangedBeforeSending(m_url);
    }
    condition = m_condition;
    return {};
}

HResult CurlTransfer::RequireVersion(const char* version) {
    const std::string_view v = version != nullptr ? version : "";
    // Only what GetVersion hands out: anything else would be a header of
    // the caller's choosing.
    if (!v.empty() && !v.starts_with("If-Match: ") && !v.starts_with("If-Unmodified-Since: ") &&
        !v.starts_with(kDigestPrefix)) {
        return Report(kFail, "not a version this component named");
    }
    if (v.find_first_of("\r\n") != std::string_view::npos) return Report(kFail, "not a version this component named");
    m_condition = v;
    return Report(kOk, {});
}

HResult CurlTransfer::PrepareWriteBack() {
    if (!m_open) return Report(kUnexpected, "no URL is open");
    GlobalInit();
    m_writeBack = true;
    m_lock.clear();
    if (!IsHttp(SchemeOf(m_url))) return Report(kOk, {});
    // A server that cannot be asked, or offers no locks, leaves the
    // resource unlocked; the download tells what is wrong with the first.
    Answer options;
    if (Failed(Ask(m_url, "OPTIONS", {}, {}, options).hr) || !options.exists || !options.locks) return Report(kOk, {});
    // "If-Match: *" locks only a resource that exists: a lock on a missing
    // one would create it, empty.
    Answer lock;
    const std::vector<std::string> headers{"Depth: 0", LockTimeoutHeader(), "If-Match: *",
                                           "Content-Type: application/xml; charset=\"utf-8\""};
    if (Failed(Ask(m_url, "LOCK", headers, kLockRequest, lock).hr)) return Report(kOk, {});
    if (lock.code == 423) {
        Outcome o = RequestFailure(kHttpStatusBase | 423, "LOCK", m_url,
                                   "the resource is locked by another client (server answered 423)");
        return Report(o.hr, std::move(o.text));
    }
    if (!lock.exists || lock.lockToken.empty()) return Report(kOk, {});
    m_lock = lock.lockToken;
    if (lock.code == 201) {
        // The server ignored "If-Match: *" and made an empty resource to
        // hold the lock: it goes again, lock and all, and the download finds
        // nothing there, as it would have.
        Answer removed;
        if (!Failed(Ask(m_url, "DELETE", {"If: (<" + m_lock + ">)"}, {}, removed).hr) && removed.exists) m_lock.clear();
    }
    return Report(kOk, {});
}

HResult CurlTransfer::UseLock(const char* token) {
    const std::string_view t = token != nullptr ? token : "";
    if (!IsSendableToken(t)) return Report(kFail, "not a lock token this component named");
    m_lock = t;
    return Report(kOk, {});
}

HResult CurlTransfer::Unlock() {
    if (m_lock.empty()) return Report(kOk, {});
    if (!m_open) return Report(kUnexpected, "no URL is open");
    GlobalInit();
    const std::string token = std::move(m_lock);
    m_lock.clear();
    Answer answer;
    Outcome o = Ask(m_url, "UNLOCK", {"Lock-Token: <" + token + ">"}, {}, answer);
    if (!Failed(o.hr) && !answer.exists) {
        o = RequestFailure(kHttpStatusBase | static_cast<HResult>(answer.code & 0xFFFF), "UNLOCK", m_url,
                           "the lock could not be released (server answered " + std::to_string(answer.code) +
                               "); it lapses by itself within " + std::to_string(LockSeconds()) + " seconds");
    }
    return Report(o.hr, std::move(o.text));
}

HResult CurlTransfer::RefreshLock() {
    if (m_lock.empty()) return Report(kOk, {});
    if (!m_open) return Report(kUnexpected, "no URL is open");
    GlobalInit();
    Answer answer;
    Outcome o = Ask(m_url, "LOCK", {"If: (<" + m_lock + ">)", LockTimeoutHeader()}, {}, answer);
    if (!Failed(o.hr) && !answer.exists) {
        o = RequestFailure(kHttpStatusBase | static_cast<HResult>(answer.code & 0xFFFF), "LOCK", m_url,
                           "the lock could not be renewed (server answered " + std::to_string(answer.code) + ")");
    }
    return Report(o.hr, std::move(o.text));
}

std::int32_t CurlTransfer::GetLockSeconds() const noexcept { return static_cast<std::int32_t>(LockSeconds()); }

HResult CurlComponent::Run() {
    GlobalInit();
    return kOk;
}

HResult CurlComponent::QueryInterface(const char* iid, std::unique_ptr<ITransfer>& out) {
    out.reset();
    if (iid == nullptr) return kPointer;
    if (std::strcmp(iid, kInterfaceId) != 0) return kNoInterface;
    out = std::make_unique<CurlTransfer>();
    return kOk;
}

}  // namespace Vrn::Transfer::detail
