#include <efi/redirector.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <utility>

#include <strings.h>
#include <unistd.h>

#include "lock_keeper.h"
#include "temp_files.h"
#include "transfer_session.h"
#include "url_parts.h"
#include "user_info.h"

using Efi::detail::CUrlParts;
using Efi::detail::EndsWithSeparator;
using Efi::detail::InternetScheme;

namespace {

/// Two backslashes in a row mark a network-share path.
bool HasShareMark(const std::string& text) noexcept { return text.find("\\\\") != std::string::npos; }

bool StartsWithIgnoreCase(const std::string& text, const char* prefix) noexcept {
    std::size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

[[noreturn]] void NotALocalFile(const std::string& why) { throw _com_error(_com_error::kFail, why); }

/// `text` with its %XX escapes decoded; a '%' that starts no escape stays.
/// An escaped NUL is refused: it would cut the path short and name another
/// file.
std::string PercentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        int high = i + 2 < text.size() && text[i] == '%' ? HexDigit(text[i + 1]) : -1;
        int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
        if (low < 0) {
            out += text[i];
            continue;
        }
        if (high == 0 && low == 0) NotALocalFile("a file: URL with an escaped NUL names no file");
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

/// The local path a file: URL names: its path, percent-escapes decoded,
/// when its host is empty or "localhost"; a drive letter in the host's
/// place ("file://C:/data") belongs to the path. A file on another host
/// cannot be reached through a local path and is refused rather than
/// guessed at.
std::string LocalPathOfFileUrl(const std::string& url) {
    std::string_view rest = std::string_view(url).substr(std::strlen("file:"));
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::string_view host = rest.substr(0, rest.find('/'));
        const bool drive = host.size() == 2 && std::isalpha(static_cast<unsigned char>(host[0])) && host[1] == ':';
        if (!drive) {
            if (!host.empty() && !EqualsIgnoreCase(host, "localhost")) {
                // The text shows the server, never a user name or password.
                const std::string bare = Efi::detail::WithoutUserInfo(url);
                const std::string_view server = std::string_view(bare).substr(std::strlen("file://"));
                NotALocalFile("a file: URL names a file on another host: " +
                              std::string(server.substr(0, std::min<std::size_t>(server.find('/'), 255))));
            }
            rest.remove_prefix(host.size());
        }
    }
    return PercentDecoded(rest.substr(0, rest.find_first_of("?#")));
}

/// Refuses a text that means to be a URL (a network scheme and "://") but
/// does not parse: as a file name it would put the URL, password and all,
/// on the local disk.
void RefuseMalformedUrl(const std::string& text, const CUrlParts& parts) {
    if (parts.Parsed() || !Efi::detail::StartsLikeANetworkUrl(text)) return;
    throw _com_error(_com_error::kFail, "invalid URL: " + Efi::detail::WithoutUserInfo(text).substr(0, 200));
}

}  // namespace

CHTTPRedirector::CHTTPRedirector(const char* name, const char* base, std::uint32_t flags)
    : m_flags(flags), m_uncaught(std::uncaught_exceptions()), m_lock(0) {
    try {
        Init(name, base);
    } catch (...) {
        // The object is not constructed, so nothing else would ever remove
        // the temporary file or release the lock.
        Abort();
        DeleteTempFile();
        ReleaseLock();
        throw;
    }
}

// Modules built against library 0.2.0 make these objects in their own
// frames: the size they reserve is this one.
static_assert(sizeof(CHTTPRedirector) == 120, "the redirector's layout is part of the library's ABI");

CHTTPRedirector::~CHTTPRedirector() noexcept(false) { Finish(); }

CHTTPRedirector::CHTTPRedirector(CHTTPRedirector&& other) noexcept
    : m_flags(other.m_flags),
      m_url(std::move(other.m_url)),
      m_fullFileName(std::move(other.m_fullFileName)),
      m_tempFile(std::move(other.m_tempFile)),
      m_uncaught(std::uncaught_exceptions()),
      m_lock(std::exchange(other.m_lock, 0)),
      m_version(std::move(other.m_version)) {
    other.m_flags = 0;
    other.m_url.clear();
    other.m_fullFileName.clear();
}

CHTTPRedirector& CHTTPRedirector::operator=(CHTTPRedirector&& other) {
    if (this == &other) return *this;
    Finish();
    m_flags = other.m_flags;
    m_url = std::move(other.m_url);
    m_fullFileName = std::move(other.m_fullFileName);
    m_tempFile = std::move(other.m_tempFile);
    m_version = std::move(other.m_version);
    m_lock = std::exchange(other.m_lock, 0);
    other.m_flags = 0;
    other.m_url.clear();
    other.m_fullFileName.clear();
    return *this;
}

void CHTTPRedirector::Abort() noexcept {
    m_flags = 0;
    m_fullFileName.clear();
}

void CHTTPRedirector::Init(const char* name, const char* base) {
    const std::string nameText = name != nullptr ? name : "";
    const std::string baseText = base != nullptr ? base : "";
    bool share = false;
    if (!baseText.empty()) ResolveAgainstBase(nameText, baseText, share);
    if (m_fullFileName.empty() && m_url.empty()) ResolveAlone(nameText, share);
    if (m_url.empty()) return;  // local: the name is the file
    CreateTempFile();
    if (IsFlagSet(eRead)) Download();
}

void CHTTPRedirector::ResolveAgainstBase(const std::string& name, const std::string& base, bool& share) {
    if (HasShareMark(name)) {
        share = true;
        return;
    }
    // "10:30 notes.txt" has a colon but no scheme: it is relative.
    if (Efi::detail::NamesASchemeOrDrive(name)) return;  // absolute: resolved alone
    share = HasShareMark(base);
    CUrlParts parts;
    parts.Crack(base.c_str());
    RefuseMalformedUrl(base, parts);
    if (!parts.Parsed() || parts.Scheme() == Efi::detail::INTERNET_SCHEME_UNKNOWN) {
        // A local directory.
        m_fullFileName = base;
        if (!EndsWithSeparator(base)) m_fullFileName += '/';
        m_fullFileName += name;
        return;
    }
    // A name is one path: "report#1.csv" is that file, not "report" and a
    // fragment. A share path is combined as it is written.
    std::string combined = Efi::detail::CombineUrl(base, share ? name : Efi::detail::AsRelativeReference(name), share);
    if (!share) {
        m_url = std::move(combined);
        return;
    }
    // A URL base holding a share path combines into a file path.
    m_fullFileName = StartsWithIgnoreCase(combined, "FILE://") ? combined.substr(7) : std::move(combined);
}

void CHTTPRedirector::ResolveAlone(const std::string& name, bool share) {
    if (share) {
        m_fullFileName = name;
        return;
    }
    CUrlParts parts;
    parts.Crack(name.c_str());
    RefuseMalformedUrl(name, parts);
    const InternetScheme scheme = parts.Parsed() ? parts.Scheme() : Efi::detail::INTERNET_SCHEME_UNKNOWN;
    if (scheme != Efi::detail::INTERNET_SCHEME_UNKNOWN && scheme != Efi::detail::INTERNET_SCHEME_DEFAULT &&
        scheme != Efi::detail::INTERNET_SCHEME_FILE) {
        // Encoded as a combination is, so that a space or a byte above 127
        // does not make a URL the transfer cannot parse.
        m_url = Efi::detail::EncodeUrl(name);
        return;
    }
    m_fullFileName = scheme == Efi::detail::INTERNET_SCHEME_FILE ? LocalPathOfFileUrl(name) : name;
}

void CHTTPRedirector::CreateTempFile() {
    DeleteTempFile();  // a second Init must not orphan the first file
    // Programs that choose a reader by the extension still do.
    m_tempFile = Efi::detail::CreateUniqueTempFile(Efi::detail::ExtensionOfUrl(m_url));
    m_fullFileName = m_tempFile.get();
}

void CHTTPRedirector::Download() {
    Efi::detail::TransferSession session;
    session.OpenURL(m_url.c_str());
    // A copy to be sent back is locked before it is read, so that nobody
    // changes it between the two; a lock another client holds is reported
    // now, before anything is edited.
    if (IsFlagSet(eWrite)) {
        session.PrepareWriteBack();
        // Renewed while the object lives, however long the edit takes.
        const std::string token = session.LockToken();
        if (!token.empty()) m_lock = Efi::detail::KeepLock(m_url, token, session.LockSeconds());
    }
    session.DownloadToFile(m_fullFileName.c_str());
    m_version = session.Version();
}

void CHTTPRedirector::Finish() {
    // Whether the upload succeeds or raises, the object ends local and empty,
    // its temporary file gone unless a failed upload kept it.
    struct Release {
        CHTTPRedirector& self;
        ~Release() {
            self.ReleaseLock();
            self.DeleteTempFile();
            self.m_flags = 0;
            self.m_url.clear();
            self.m_fullFileName.clear();
            self.m_version.clear();
        }
    } release{*this};
    // Unwinding means the code that wrote the file did not finish: its
    // content is not sent, and no second exception can arise here.
    const bool unwinding = std::uncaught_exceptions() > m_uncaught;
    if (m_url.empty() || !IsFlagSet(eWrite) || unwinding) return;
    try {
        Upload();
    } catch (const _com_error& e) {
        // The file holds the user's edit and exists nowhere else.
        const std::string kept = KeepTempFile();
        throw _com_error(e.Error(), std::string(e.ErrorMessage()) + "; the local copy is kept at " + kept);
    }
}

void CHTTPRedirector::Upload() {
    Efi::detail::TransferSession session;
    session.OpenURL(m_url.c_str());
    // A copy read from the server replaces only the version that was read:
    // a change another client made meanwhile is not overwritten.
    if (IsFlagSet(eRead)) session.RequireVersion(m_version.c_str());
    session.UseLock(Efi::detail::LockToken(m_lock).c_str());
    session.UploadFromFile(m_tempFile.get());
}

void CHTTPRedirector::ReleaseLock() noexcept { Efi::detail::ReleaseLock(std::exchange(m_lock, 0)); }

std::string CHTTPRedirector::KeepTempFile() {
    std::string name = m_tempFile.get();
    Efi::detail::ForgetTempFile(m_tempFile.get());
    m_tempFile.reset();
    return name;
}

void CHTTPRedirector::DeleteTempFile() noexcept {
    if (!m_tempFile) return;
    Efi::detail::ForgetTempFile(m_tempFile.get());
    ::unlink(m_tempFile.get());
    m_tempFile.reset();
}

void CHTTPRedirector::DeleteTemporaryFiles() noexcept { Efi::detail::DeleteLiveTempFiles(); }
