// The transfer component's implementation over libcurl.
#pragma once

#include <memory>
#include <string>

#include <vrnrun/transfer.h>

namespace Vrn::Transfer::detail {

struct Outcome;

/// One transfer object: remembers the open URL, the last failure's text,
/// the version the last download brought and the condition of the next
/// upload. Every transfer uses a fresh transport handle; connections and
/// TLS sessions are kept per thread, and a forked child opens its own.
class CurlTransfer final : public ITransfer {
public:
    HResult OpenURL(const char* url, std::int32_t reserved, std::int32_t* status) override;
    HResult UploadFromFile(const char* path) override;
    HResult DownloadToFile(const char* path) override;
    const char* GetErrorText() const noexcept override { return m_error.c_str(); }
    const char* GetVersion() const noexcept override { return m_version.c_str(); }
    HResult RequireVersion(const char* version) override;
    HResult PrepareWriteBack() override;
    const char* GetLockToken() const noexcept override { return m_lock.c_str(); }
    HResult UseLock(const char* token) override;
    HResult Unlock() override;
    HResult RefreshLock() override;
    std::int32_t GetLockSeconds() const noexcept override;

private:
    /// Keeps `text` as the last failure's text (empty for kOk); returns `hr`.
    HResult Report(HResult hr, std::string text);
    /// Stores the file open as `fd` (`size` bytes) so that no other
    /// client's change is replaced, by the lock held, the condition
    /// required, and a look at the resource just before sending.
    struct Outcome Store(const char* path, int fd, long long size);
    /// The condition an upload must carry for the resource to be still the
    /// version required, found by asking the server for its current state;
    /// fails when it is not. With `trustLock`, a lock held stands for the
    /// server's evaluating the condition itself.
    struct Outcome CurrentCondition(std::string& condition, bool trustLock);

    std::string m_url;
    bool m_open = false;
    std::string m_error;
    /// "If-Match: ETAG", "Content-SHA256: HEX" (the body's digest, where no
    /// strong validator names the plain body), "If-Unmodified-Since: DATE",
    /// or "".
    std::string m_version;
    /// The next download is to be written back: it keeps its digest.
    bool m_writeBack = false;
    /// The WebDAV lock token held on the open URL, or "".
    std::string m_lock;
    /// The header the next upload carries, or "".
    std::string m_condition;
};

/// The component object of the built-in class: hands out CurlTransfer.
class CurlComponent final : public IComponent {
public:
    HResult Run() override;
    HResult QueryInterface(const char* iid, std::unique_ptr<ITransfer>& out) override;
};

}  // namespace Vrn::Transfer::detail
