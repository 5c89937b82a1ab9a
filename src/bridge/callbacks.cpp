// Host callbacks by name. Like the rest of the bridge's process-wide state
// the table is unguarded: bridge calls run one at a time.
#include <efi/errors.h>
#include <efi/host/callbacks.h>

#include <map>
#include <string_view>

#include "bridge/native_failure.h"

namespace Efi {

namespace {

std::map<std::string, Vrn::Run::Object, std::less<>>& Callbacks() {
    static std::map<std::string, Vrn::Run::Object, std::less<>> table;
    return table;
}

UnknownCallbackHandler g_unknown = nullptr;

}  // namespace

void HandleUnknownCallbacks(UnknownCallbackHandler handler) { g_unknown = handler; }

void RegisterHostCallback(const std::string& name, Vrn::Run::Object function) {
    if (function) Callbacks()[name] = std::move(function);
    else Callbacks().erase(name);
}

void ClearHostCallbacks() { Callbacks().clear(); }

void call_host(const char* name, const qlComplex& arg, qlComplex& result, std::uint32_t argument) {
    auto& table = Callbacks();
    auto it = name ? table.find(std::string_view(name)) : table.end();
    if (it == table.end()) {
        if (name && g_unknown) return detail::AsHostCode([&] { g_unknown(name, arg, result, argument); });
        Throw("must be a function", argument);
    }
    // Held by value: the callback may re-register names while it runs.
    Vrn::Run::Object f = it->second;
    Vrn::Run::Object value =
        detail::AsHostCode([&] { return Vrn::Invoke::Call(f, Vrn::Run::Number(arg.real, arg.imag)); });
    const Qlt::NumVal* num = value.as<Qlt::NumVal>();
    if (!num) Vrn::Run::AppException::Raise(u"argument function error", argument);
    result.real = num->Data.rp;
    result.imag = num->Data.ip;
}

}  // namespace Efi
