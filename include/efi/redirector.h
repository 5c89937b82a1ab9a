// Resolving a resource name against a base location to a local file, with
// remote content fetched into a temporary file and sent back when asked.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <efi/export.h>

/// A failing call of the host's transfer component: its 32-bit result code
/// (negative) and the component's description of the failure.
class EFI_API _com_error : public std::exception {
public:
    /// Unspecified failure; also raised when a URL cannot be combined.
    static constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u);
    /// The transfer component is absent.
    static constexpr std::int32_t kPointer = static_cast<std::int32_t>(0x80004003u);
    /// The component object lacks the transfer interface.
    static constexpr std::int32_t kNoInterface = static_cast<std::int32_t>(0x80004002u);

    /// `description` may be empty; ErrorMessage() then names the code.
    _com_error(std::int32_t hr, std::string description);

    /// The failing result code.
    std::int32_t Error() const noexcept { return m_hr; }
    /// The component's description, or a text naming the code when it gave none.
    const char* ErrorMessage() const noexcept { return m_message.c_str(); }
    /// The component's own description (possibly empty).
    const char* Description() const noexcept { return m_description.c_str(); }
    /// Same as ErrorMessage().
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::int32_t m_hr;
    std::string m_description;
    std::string m_message;
};

/// Turns a resource name and the location it is relative to into a local
/// file path. A local resource (a path, a network-share path, a file: URL
/// with an empty host or "localhost", its %-escapes decoded) is used where
/// it is; a remote one (http:, https:, ftp:, ftps:, sftp:, scp: ...) is
/// stood for by a fresh temporary file "QLxxxxxx" in $TMPDIR (else /tmp; a
/// relative directory is taken from the working directory at creation),
/// with the URL's extension ("QLxxxxxx.csv"), filled from the URL on
/// construction with eRead and sent back to it on destruction with eWrite.
/// The temporary file exists from construction to destruction, and after it
/// when the upload failed.
///
/// A relative name (no scheme or drive letter before its first colon) is
/// one path under a URL base: '#' and a '%' that starts no escape are
/// escaped, '?' starts a query. A name or base that starts with a network
/// scheme and "://" but does not parse raises _com_error "invalid URL".
///
/// A resource opened with eRead and eWrite on a server that offers WebDAV
/// locks is locked for writing from construction to destruction: other
/// clients cannot change it meanwhile, and one that holds a lock already
/// makes the construction fail, before anything is edited. The lock is
/// taken for 10 minutes ($EFI_TRANSFER_LOCK_TIMEOUT seconds) and renewed
/// by a thread of the library while the object lives, so that a lock left
/// by a process that died lapses by itself.
///
/// Objects cannot be copied (two copies would delete the same file); moving
/// hands the temporary file and the pending transfer to the new object.
class EFI_API CHTTPRedirector {
public:
    /// What to do with a remote resource; the bits may be combined.
    enum EFlags : std::uint32_t {
        eRead = 1,   ///< fetch the content into the temporary file on construction
        eWrite = 2,  ///< send the temporary file to the URL on destruction
    };

    /// Resolves `name` against `base` (either may be null, read as empty).
    /// Raises _com_error when the download fails, when a URL is invalid,
    /// when the two cannot be combined into a URL of at most 2084
    /// characters or when a file: URL names a file on another host,
    /// std::system_error when no temporary file can be made; no temporary
    /// file is left behind by a failed construction.
    CHTTPRedirector(const char* name, const char* base, std::uint32_t flags);

    /// With eWrite pending for a remote resource, uploads the temporary file;
    /// then deletes it and releases the lock, if one was taken. With eRead
    /// too, the upload replaces only the version that was read: another
    /// client's change made meanwhile fails it. A failed upload keeps the file and raises _com_error,
    /// its text ending "; the local copy is kept at PATH", so that the edit
    /// can be saved or sent again. When the object is destroyed by an
    /// exception unwinding past it, the upload is skipped and the file
    /// deleted: the writer's work did not finish, and a second exception
    /// during unwinding would end the process.
    ~CHTTPRedirector() noexcept(false);

    CHTTPRedirector(const CHTTPRedirector&) = delete;
    CHTTPRedirector& operator=(const CHTTPRedirector&) = delete;
    /// Takes over `other`'s resource, temporary file and pending transfer;
    /// `other` is left local and empty.
    CHTTPRedirector(CHTTPRedirector&& other) noexcept;
    /// Finishes this object's resource as the destructor would (may raise),
    /// then takes over `other`'s.
    CHTTPRedirector& operator=(CHTTPRedirector&& other);

    /// The local file path to use; empty after Abort.
    const char* GetFullFileName() const noexcept { return m_fullFileName.c_str(); }
    /// The absolute URL of a remote resource; empty for a local one.
    const char* GetURL() const noexcept { return m_url.c_str(); }
    /// Whether the resource is remote.
    bool IsRemote() const noexcept { return !m_url.empty(); }
    /// Drops the pending upload and empties the full file name; the
    /// temporary file is still deleted on destruction.
    void Abort() noexcept;

    /// Deletes the temporary files of all live objects of the process, for
    /// a host that ends on a signal (SIGINT, SIGTERM) and must leave none
    /// behind. Async-signal-safe; the objects must not be used afterwards.
    static void DeleteTemporaryFiles() noexcept;

protected:
    /// Whether `flag` shares a bit with the flags given at construction.
    bool IsFlagSet(EFlags flag) const noexcept { return (m_flags & flag) != 0; }
    /// The resolving step of the constructor.
    void Init(const char* name, const char* base);

private:
    void ResolveAgainstBase(const std::string& name, const std::string& base, bool& share);
    void ResolveAlone(const std::string& name, bool share);
    void CreateTempFile();
    void Download();
    void Finish();
    void Upload();
    /// Gives up ownership of the temporary file, which stays on disk; returns its name.
    std::string KeepTempFile();
    void DeleteTempFile() noexcept;
    /// Releases the lock on the resource, if one is held.
    void ReleaseLock() noexcept;

    std::uint32_t m_flags;
    std::string m_url;
    std::string m_fullFileName;
    /// Name of the temporary file this object created (260 characters), or null.
    std::unique_ptr<char[]> m_tempFile;
    /// Exceptions in flight at construction; more at destruction means the
    /// object is being destroyed by unwinding.
    int m_uncaught;
    /// The number the library keeps this object's write lock on the
    /// resource under (its token with it), or 0 when none is held. A number
    /// in the padding after m_uncaught: the object's size and layout stay
    /// those of library 0.2.0, which modules built against it inline.
    std::uint32_t m_lock;
    /// The version of the resource the download brought, as the transfer
    /// component names it; empty when the server named none.
    std::string m_version;
};
