// The transfer component's implementation over libcurl.
#pragma once

#include <memory>
#include <string>

#include <vrnrun/transfer.h>

namespace Vrn::Transfer::detail {

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

private:
    /// Keeps `text` as the last failure's text (empty for kOk); returns `hr`.
    HResult Report(HResult hr, std::string text);

    std::string m_url;
    bool m_open = false;
    std::string m_error;
    /// "If-Match: ETAG" or "If-Unmodified-Since: DATE", or "".
    std::string m_version;
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
