// One use of the host's transfer component, its failures raised as _com_error.
#pragma once

#include <memory>
#include <string>

#include <vrnrun/transfer.h>

namespace Efi::detail {

/// A fresh component object asked for the transfer interface. An object
/// that lacks the interface counts as absent: the first call then raises
/// _com_error with E_POINTER.
class TransferSession {
public:
    /// Creates and starts the object; raises _com_error with the failing
    /// code (other than E_NOINTERFACE).
    TransferSession();
    ~TransferSession();
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    /// Names the URL the next call moves.
    void OpenURL(const char* url);
    /// Fills the file at `path` from the open URL.
    void DownloadToFile(const char* path);
    /// Sends the file at `path` to the open URL.
    void UploadFromFile(const char* path);
    /// The version of the resource the last download brought ("" if unnamed).
    std::string Version();
    /// Makes the next upload replace only `version` ("": any version).
    void RequireVersion(const char* version);
    /// Announces a download to be written back: locks the resource where
    /// the server offers locks; raises when another client holds one.
    void PrepareWriteBack();
    /// The lock held on the open URL ("" if none).
    std::string LockToken();
    /// Makes the next upload carry the lock `token`, and Unlock release it.
    void UseLock(const char* token);
    /// Renews the lock for as long as it was taken.
    void RefreshLock();
    /// How many seconds a lock lasts unless renewed (0: no locks are taken).
    int LockSeconds();
    /// Releases the lock.
    void Unlock();

private:
    Vrn::Transfer::ITransfer& Transfer();
    void Check(Vrn::Transfer::HResult hr);

    std::unique_ptr<Vrn::Transfer::ITransfer> m_transfer;
};

}  // namespace Efi::detail
