// Host callbacks by name. Calls of thread-safe functions look names up on
// several threads at once while a host may register on another: the table
// is read and written under a lock held for the look-up alone, never across
// a callback, so registering waits for no call.
#include <efi/errors.h>
#include <efi/host/callbacks.h>

#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "bridge/native_failure.h"

namespace Efi {

namespace {

using Table = std::map<std::string, Vrn::Run::Object, std::less<>>;

Table& Callbacks() {
    static Table table;
    return table;
}

std::shared_mutex& CallbacksLock() {
    static std::shared_mutex lock;
    return lock;
}

std::atomic<UnknownCallbackHandler> g_unknown{nullptr};

// The function registered under `name`, held by value: the callback may
// re-register names while it runs, and so may another thread.
Vrn::Run::Object Lookup(std::string_view name) {
    std::shared_lock<std::shared_mutex> lock(CallbacksLock());
    const Table& table = Callbacks();
    auto it = table.find(name);
    return it == table.end() ? Vrn::Run::Object() : it->second;
}

}  // namespace

void HandleUnknownCallbacks(UnknownCallbackHandler handler) { g_unknown.store(handler); }

void RegisterHostCallback(const std::string& name, Vrn::Run::Object function) {
    // A replaced or removed function is released after the lock: its last
    // reference may run a host's clean-up.
    Vrn::Run::Object old;
    {
        std::unique_lock<std::shared_mutex> lock(CallbacksLock());
        Table& table = Callbacks();
        auto it = table.find(name);
        if (it != table.end()) {
            old = std::move(it->second);
            if (function) it->second = std::move(function);
            else table.erase(it);
        } else if (function) {
            table.emplace(name, std::move(function));
        }
    }
}

void ClearHostCallbacks() {
    Table old;
    {
        std::unique_lock<std::shared_mutex> lock(CallbacksLock());
        old.swap(Callbacks());
    }
}

void call_host(const char* name, const qlComplex& arg, qlComplex& result, std::uint32_t argument) {
    Vrn::Run::Object f = name ? Lookup(name) : Vrn::Run::Object();
    if (!f) {
        if (UnknownCallbackHandler unknown = g_unknown.load(); name && unknown)
            return detail::AsHostCode([&] { unknown(name, arg, result, argument); });
        Throw("must be a function", argument);
    }
    Vrn::Run::Object value =
        detail::AsHostCode([&] { return Vrn::Invoke::Call(f, Vrn::Run::Number(arg.real, arg.imag)); });
    const Qlt::NumVal* num = value.as<Qlt::NumVal>();
    if (!num) Vrn::Run::AppException::Raise(u"argument function error", argument);
    result.real = num->Data.rp;
    result.imag = num->Data.ip;
}

}  // namespace Efi
