// The host's transfer component: moves a URL's content into a local file and
// a local file's content to a URL. Objects are made through a small factory
// that plays the part of the component system (create, run, ask for an
// interface), so that callers can be tested against substitutes.
#pragma once

#include <cstdint>
#include <memory>

#include <vrnrun/export.h>

namespace Vrn::Transfer {

/// Result of a component call: negative is a failure, as in the component
/// system's 32-bit result codes.
using HResult = std::int32_t;

inline constexpr HResult kOk = 0;
/// Unspecified failure.
inline constexpr HResult kFail = static_cast<HResult>(0x80004005u);
/// A missing object or text.
inline constexpr HResult kPointer = static_cast<HResult>(0x80004003u);
/// The object does not offer the interface asked for.
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);
/// A call out of order (a transfer before any URL was opened).
inline constexpr HResult kUnexpected = static_cast<HResult>(0x8000FFFFu);
/// The class is not registered.
inline constexpr HResult kClassNotRegistered = static_cast<HResult>(0x80040154u);
/// A server's final answer was status `s` and not a success (for a download
/// anything but 200, for an upload anything but 2xx, such as a redirect
/// other than 307 and 308): kHttpStatusBase | s.
inline constexpr HResult kHttpStatusBase = static_cast<HResult>(0x80190000u);
/// The transport failed (no connection, short transfer, protocol error, a
/// transfer below the speed floor or past its time limit, an interruption):
/// kTransportBase + the transport's own error number.
inline constexpr HResult kTransportBase = static_cast<HResult>(0x80040200u);
/// A local file could not be opened, read or written.
inline constexpr HResult kFileError = static_cast<HResult>(0x80030000u);

constexpr bool Failed(HResult hr) noexcept { return hr < 0; }

/// Class identifier of the transfer component.
inline constexpr char kClassId[] = "{5B00AC91-E99E-463F-B32E-DF45A9346E5A}";
/// Identifier of the transfer interface.
inline constexpr char kInterfaceId[] = "{507C4627-7D3E-4C9B-84D3-72BAC001D549}";

/// The transfer interface. Texts are narrow and passed through unchanged:
/// file paths are byte strings on this platform, so no conversion could
/// improve them and any conversion could lose them.
class VRN_API ITransfer {
public:
    virtual ~ITransfer();
    /// Names the URL that the next transfer moves. `reserved` is 0; `status`
    /// (may be null) receives 0.
    virtual HResult OpenURL(const char* url, std::int32_t reserved, std::int32_t* status) = 0;
    /// Sends the content of the file at `path` to the open URL. A redirect
    /// is followed only when it keeps the method and body (307, 308). The
    /// file is never opened through a symbolic link.
    virtual HResult UploadFromFile(const char* path) = 0;
    /// Replaces the content of the file at `path` with the open URL's content.
    /// After a failure the file is left empty, never holding an error page
    /// or a partial body. The file is never opened through a symbolic link.
    virtual HResult DownloadToFile(const char* path) = 0;
    /// Text describing the last failure; empty after a success. It names the
    /// operation by its protocol ("GET", "PUT", "FTP download" ...) and the
    /// URL without user name or password, cut to 200 characters.
    virtual const char* GetErrorText() const noexcept = 0;
    /// The version of the resource that the last successful download
    /// brought, in a form RequireVersion takes; empty when the server named
    /// none (or the component keeps no versions).
    virtual const char* GetVersion() const noexcept { return ""; }
    /// Makes the next upload store the file only if the resource is still
    /// at `version` (from GetVersion); null or empty: unconditionally. A
    /// resource changed meanwhile fails the upload with kHttpStatusBase | 412.
    virtual HResult RequireVersion(const char* /*version*/) { return kOk; }
    /// Announces that the open URL's resource is about to be downloaded and
    /// later written back. Where the server offers WebDAV locks, takes an
    /// exclusive write lock on it (GetLockToken names it); a resource that
    /// another client has locked fails with kHttpStatusBase | 423. The next
    /// download then keeps what the upload needs to tell the version read
    /// from any other, whatever validators the server gives.
    virtual HResult PrepareWriteBack() { return kOk; }
    /// The lock PrepareWriteBack took or UseLock named; empty when none.
    virtual const char* GetLockToken() const noexcept { return ""; }
    /// Makes the next upload carry the lock `token` (from GetLockToken;
    /// null or empty: none), and Unlock release it.
    virtual HResult UseLock(const char* /*token*/) { return kOk; }
    /// Releases the lock held on the open URL, if any; kOk when none is.
    virtual HResult Unlock() { return kOk; }
    /// Renews the lock held on the open URL for as long as it was taken.
    virtual HResult RefreshLock() { return kOk; }
    /// How many seconds a lock lasts unless renewed or released; 0 when the
    /// component takes no locks.
    virtual std::int32_t GetLockSeconds() const noexcept { return 0; }
};

/// The basic interface of a component object.
class VRN_API IComponent {
public:
    virtual ~IComponent();
    /// Puts the object into its running state.
    virtual HResult Run() = 0;
    /// Hands out the interface `iid` (kNoInterface if the object lacks it).
    virtual HResult QueryInterface(const char* iid, std::unique_ptr<ITransfer>& out) = 0;
};

/// Creates an object of class `clsid`, as the component system would.
using Factory = HResult (*)(const char* clsid, std::unique_ptr<IComponent>& out);

/// Creates an object of class `clsid` through the current factory.
VRN_API HResult CreateInstance(const char* clsid, std::unique_ptr<IComponent>& out);

/// Replaces the factory (null restores the built-in one, which knows only
/// the transfer component) and returns the previous one. For tests and for
/// hosts that register another implementation; not thread-safe.
VRN_API Factory SetFactory(Factory factory) noexcept;

}  // namespace Vrn::Transfer
