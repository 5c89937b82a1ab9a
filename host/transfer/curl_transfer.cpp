// Transfers over libcurl: GET (or FTP retrieve) into a file, PUT (or FTP
// store) from a file.
#include "curl_transfer.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vrn::Transfer::detail {

namespace {

// Large reads keep the number of callbacks (and write calls) low on fast
// links; this is libcurl's upper limit.
constexpr long kBufferSize = 512L * 1024L;
constexpr long kConnectTimeoutSeconds = 30;
// A transfer that moves less than one byte a second for a minute is dead.
constexpr long kLowSpeedLimit = 1;
constexpr long kLowSpeedSeconds = 60;
constexpr long kMaxRedirects = 10;
// Only protocols that move a resource: dict:, telnet: and the like would
// talk to arbitrary services. A file: URL given by the caller is a local
// copy, but a server's redirect must never reach local files.
constexpr char kProtocols[] = "http,https,ftp,ftps,file";
constexpr char kRedirectProtocols[] = "http,https,ftp,ftps";

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

/// Where the body goes and what went wrong writing it.
struct Sink {
    int fd;
    int error = 0;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t total = size * count;
    size_t done = 0;
    while (done < total) {
        ssize_t n = ::write(sink->fd, data + done, total - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            sink->error = errno;
            return 0;  // anything short of `total` aborts the transfer
        }
        done += static_cast<size_t>(n);
    }
    return total;
}

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

void SetCommonOptions(Easy& easy, const std::string& url) {
    CURL* h = easy.handle;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, easy.error);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, kRedirectProtocols);
    // A status of 400 and above is a failure, and its body (an error page)
    // is never delivered as the resource's content.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kBufferSize);
}

}  // namespace

HResult CurlTransfer::Succeed() {
    m_error.clear();
    return kOk;
}

HResult CurlTransfer::Fail(HResult hr, std::string text) {
    m_error = std::move(text);
    return hr;
}

HResult CurlTransfer::FailFile(const char* what, const char* path, int error) {
    return Fail(kFileError | (error & 0xFFFF),
                std::string("cannot ") + what + " " + path + ": " + std::strerror(error));
}

HResult CurlTransfer::OpenURL(const char* url, std::int32_t /*reserved*/, std::int32_t* status) {
    if (status != nullptr) *status = 0;
    if (url == nullptr) return Fail(kPointer, "no URL given");
    m_url = url;
    m_open = true;
    return Succeed();
}

HResult CurlTransfer::DownloadToFile(const char* path) {
    if (path == nullptr) return Fail(kPointer, "no file given");
    if (!m_open) return Fail(kUnexpected, "no URL is open");
    GlobalInit();
    Easy easy;
    if (easy.handle == nullptr) return Fail(kFail, "cannot start a transfer");
    Fd file{::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
    if (file.fd < 0) return FailFile("open", path, errno);

    Sink sink{file.fd};
    SetCommonOptions(easy, m_url);
    curl_easy_setopt(easy.handle, CURLOPT_WRITEFUNCTION, &WriteToFile);
    curl_easy_setopt(easy.handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(easy.handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    CURLcode rc = curl_easy_perform(easy.handle);

    HResult hr = kOk;
    if (sink.error != 0) {
        hr = FailFile("write", path, sink.error);
    } else if (rc == CURLE_HTTP_RETURNED_ERROR) {
        long code = 0;
        curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &code);
        hr = Fail(kHttpStatusBase | static_cast<HResult>(code & 0xFFFF),
                  "GET " + m_url + ": server answered " + std::to_string(code));
    } else if (rc != CURLE_OK) {
        hr = Fail(kTransportBase + static_cast<HResult>(rc),
                  "GET " + m_url + ": " + (easy.error[0] != '\0' ? easy.error : curl_easy_strerror(rc)));
    }
    if (Failed(hr)) {
        // Whatever arrived before the failure is not the resource.
        if (::ftruncate(file.fd, 0) != 0) { /* the failure above is what counts */ }
        return hr;
    }
    int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) return FailFile("write", path, errno);
    return Succeed();
}

HResult CurlTransfer::UploadFromFile(const char* path) {
    if (path == nullptr) return Fail(kPointer, "no file given");
    if (!m_open) return Fail(kUnexpected, "no URL is open");
    GlobalInit();
    Easy easy;
    if (easy.handle == nullptr) return Fail(kFail, "cannot start a transfer");
    Fd file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return FailFile("open", path, errno);
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return FailFile("read", path, errno);

    Source source{file.fd};
    SetCommonOptions(easy, m_url);
    curl_easy_setopt(easy.handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_READFUNCTION, &ReadFromFile);
    curl_easy_setopt(easy.handle, CURLOPT_READDATA, &source);
    curl_easy_setopt(easy.handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(st.st_size));
    // The whole body is sent at once; waiting for an interim answer first
    // only adds a round trip (or a second's stall with servers that never
    // send one).
    easy.headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(easy.handle, CURLOPT_HTTPHEADER, easy.headers);
    CURLcode rc = curl_easy_perform(easy.handle);

    if (source.error != 0) return FailFile("read", path, source.error);
    if (rc == CURLE_HTTP_RETURNED_ERROR) {
        long code = 0;
        curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &code);
        return Fail(kHttpStatusBase | static_cast<HResult>(code & 0xFFFF),
                    "PUT " + m_url + ": server answered " + std::to_string(code));
    }
    if (rc != CURLE_OK) {
        return Fail(kTransportBase + static_cast<HResult>(rc),
                    "PUT " + m_url + ": " + (easy.error[0] != '\0' ? easy.error : curl_easy_strerror(rc)));
    }
    return Succeed();
}

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
