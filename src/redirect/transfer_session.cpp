#include "transfer_session.h"

#include <efi/redirector.h>

namespace Efi::detail {

using Vrn::Transfer::Failed;
using Vrn::Transfer::HResult;

namespace {

[[noreturn]] void RaiseCreation(HResult hr, const char* step) {
    throw _com_error(hr, std::string("the transfer component could not be ") + step);
}

}  // namespace

TransferSession::TransferSession() {
    std::unique_ptr<Vrn::Transfer::IComponent> object;
    HResult hr = Vrn::Transfer::CreateInstance(Vrn::Transfer::kClassId, object);
    if (Failed(hr) || !object) RaiseCreation(Failed(hr) ? hr : _com_error::kPointer, "created");
    hr = object->Run();
    if (Failed(hr)) RaiseCreation(hr, "started");
    hr = object->QueryInterface(Vrn::Transfer::kInterfaceId, m_transfer);
    // The basic object goes now whatever the answer; the transfer interface,
    // if handed out, lives on its own.
    object.reset();
    if (hr == Vrn::Transfer::kNoInterface) {
        m_transfer.reset();
        return;
    }
    if (Failed(hr)) RaiseCreation(hr, "asked for its transfer interface");
}

TransferSession::~TransferSession() = default;

Vrn::Transfer::ITransfer& TransferSession::Transfer() {
    if (!m_transfer) throw _com_error(_com_error::kPointer, "the transfer component offers no transfer interface");
    return *m_transfer;
}

void TransferSession::Check(HResult hr) {
    if (Failed(hr)) throw _com_error(hr, m_transfer->GetErrorText());
}

void TransferSession::OpenURL(const char* url) {
    std::int32_t unused = 0;
    Check(Transfer().OpenURL(url, 0, &unused));
}

void TransferSession::DownloadToFile(const char* path) { Check(Transfer().DownloadToFile(path)); }

void TransferSession::UploadFromFile(const char* path) { Check(Transfer().UploadFromFile(path)); }

std::string TransferSession::Version() { return Transfer().GetVersion(); }

void TransferSession::RequireVersion(const char* version) { Check(Transfer().RequireVersion(version)); }

void TransferSession::PrepareWriteBack() { Check(Transfer().PrepareWriteBack()); }

std::string TransferSession::LockToken() { return Transfer().GetLockToken(); }

void TransferSession::UseLock(const char* token) { Check(Transfer().UseLock(token)); }

void TransferSession::RefreshLock() { Check(Transfer().RefreshLock()); }

int TransferSession::LockSeconds() { return Transfer().GetLockSeconds(); }

void TransferSession::Unlock() { Check(Transfer().Unlock()); }

}  // namespace Efi::detail
