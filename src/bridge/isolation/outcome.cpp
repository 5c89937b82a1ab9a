// Failures across the channel: see outcome.h.
#include "bridge/isolation/outcome.h"

#include <efi/host/bridge.h>
#include <efi/host/fault_recovery.h>
#include <efi/se_exception.h>

#include <new>
#include <stdexcept>
#include <string>

namespace Efi::detail::wire {

namespace {

// A foreign exception with no text of its own: raised as the host would
// meet one that is no standard exception.
struct UnknownForeignException {};

bool SendForeign(Channel& fd, ForeignKind kind, std::string_view text) {
    return Send(fd, Kind::Foreign, [&](Writer& w) {
        w.Put(kind);
        w.Utf8(text);
    });
}

}  // namespace

bool SendFailure(Channel& fd, std::exception_ptr failure, std::vector<std::exception_ptr>* held) {
    try {
        std::rethrow_exception(failure);
    } catch (const User::ModuleException& e) {
        // A worksheet error that keeps the type of what the module threw.
        return Send(fd, Kind::Foreign, [&](Writer& w) {
            w.Put(ForeignKind::Module);
            w.Utf8(e.what());
            w.Utf8(e.TypeName());
        });
    } catch (const Vrn::Run::AppException& e) {
        return Send(fd, Kind::WorksheetError, [&](Writer& w) {
            w.Put(e.Argument());
            w.Utf16(e.Message());
        });
    } catch (const SE_Exception& e) {
        return Send(fd, Kind::Fault, [&](Writer& w) { w.Put(e.GetCode()); });
    } catch (const HeldException& e) {
        return Send(fd, Kind::Held, [&](Writer& w) { w.Put(e.index); });
    } catch (const std::bad_alloc&) {
        return SendForeign(fd, ForeignKind::BadAlloc, {});
    } catch (...) {
        if (held) {
            held->push_back(std::current_exception());
            const auto index = static_cast<std::uint32_t>(held->size() - 1);
            return Send(fd, Kind::Held, [&](Writer& w) { w.Put(index); });
        }
        try {
            throw;
        } catch (const std::exception& e) {
            return SendForeign(fd, ForeignKind::WithText, e.what());
        } catch (...) {
            return SendForeign(fd, ForeignKind::Unknown, {});
        }
    }
}

[[noreturn]] void RaiseFailure(const Message& m, const std::vector<std::exception_ptr>* held) {
    // Read whole before anything is raised: a malformed message is that,
    // whatever it began with.
    Reader r = m.Body();
    switch (m.kind) {
        case Kind::WorksheetError: {
            const auto argument = r.Get<std::uint32_t>();
            std::u16string message = r.Utf16();
            r.Done();
            Vrn::Run::AppException::Raise(std::move(message), argument);
        }
        case Kind::Fault: {
            const auto code = r.Get<std::uint32_t>();
            r.Done();
            Efi::User::ThrowProcessorFault(code, nullptr);
        }
        case Kind::Held: {
            const auto index = r.Get<std::uint32_t>();
            r.Done();
            if (!held) throw HeldException{index};
            if (index >= held->size()) throw MalformedMessage{};
            std::rethrow_exception((*held)[index]);
        }
        case Kind::Foreign: {
            const auto kind = r.Get<ForeignKind>();
            const std::string text = r.Utf8();
            const std::string type = kind == ForeignKind::Module ? r.Utf8() : std::string();
            r.Done();
            if (kind == ForeignKind::Module) throw User::ModuleException(Vrn::Run::FromUtf8(text), type);
            if (kind == ForeignKind::BadAlloc) throw std::bad_alloc();
            if (kind == ForeignKind::WithText) throw std::runtime_error(text);
            if (kind == ForeignKind::Unknown) throw UnknownForeignException{};
            throw MalformedMessage{};
        }
        default: throw MalformedMessage{};
    }
}

}  // namespace Efi::detail::wire
