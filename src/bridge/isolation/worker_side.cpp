// The worker's side of an isolated module: see <efi/host/worker.h>.
#include <efi/host/worker.h>

#include <efi/host/bridge.h>
#include <efi/host/callbacks.h>
#include <efi/host/module_loader.h>

#include <unistd.h>

#include <clocale>
#include <exception>
#include <string>
#include <vector>

#include "bridge/isolation/outcome.h"
#include "bridge/isolation/transport.h"

namespace Efi {

namespace {

using Vrn::Run::Object;
using namespace detail::wire;

Channel g_channel;
std::vector<ModuleFunction> g_functions;

// The host has gone: nothing is left to answer.
[[noreturn]] void HostGone() { ::_exit(0); }

// A module's static constructor that throws ends the worker: what it threw
// goes to the host first as the module's refusal, as a host that loads the
// module in process would report it.
void RefuseOnInitFailure(const std::string& text) noexcept {
    Send(g_channel, Kind::ModuleRefused, [&](Writer& w) { w.Utf8(text); });
}

void Load(const Message& m) {
    Reader r = m.Body();
    const std::string path = r.Utf8();
    // Texts and file names are converted in the host's locale.
    std::setlocale(LC_ALL, r.Utf8().c_str());
    try {
        const ModuleInitReport report(path, RefuseOnInitFailure);
        g_functions = LoadModule(path);
    } catch (const ModuleError& e) {
        if (!Send(g_channel, Kind::ModuleRefused, [&](Writer& w) { w.Utf8(e.what()); })) HostGone();
        return;
    }
    // Its own functions are found here, as in the host; other names are the host's.
    for (const ModuleFunction& f : g_functions) RegisterHostCallback(f.name, f.function);
    const bool sent = Send(g_channel, Kind::Table, [&](Writer& w) { WriteTable(w, g_functions); });
    if (!sent) HostGone();
}

void Call(const Message& m) {
    Object result;
    try {
        Reader r = m.Body();
        const auto index = r.Get<std::uint32_t>();
        std::vector<Object> args(r.Get<std::uint32_t>());
        for (Object& a : args) a = r.Value();
        if (index >= g_functions.size()) HostGone();
        result = g_functions[index].function.as<Vrn::Run::Function>()->Call(args);
    } catch (const ChannelBroken&) {
        HostGone();
    } catch (...) {
        if (!SendFailure(g_channel, std::current_exception(), nullptr)) HostGone();
        return;
    }
    if (!Send(g_channel, Kind::Result, [&](Writer& w) { w.Value(result); })) HostGone();
}

// A callback native code makes by a name the worker does not hold: the
// host evaluates it, and may call the module again meanwhile.
void AskHost(const char* name, const qlComplex& arg, qlComplex& result, std::uint32_t argument) {
    const bool sent = Send(g_channel, Kind::Callback, [&](Writer& w) {
        w.Utf8(name);
        w.Put(arg.real);
        w.Put(arg.imag);
        w.Put(argument);
    });
    if (!sent) HostGone();
    for (;;) {
        Message m;
        try {
            Receive(g_channel, m);
        } catch (const ChannelBroken&) {
            HostGone();
        }
        if (m.kind == Kind::Call) {
            Call(m);
            continue;
        }
        if (m.kind == Kind::CallbackResult) {
            Reader r = m.Body();
            result.real = r.Get<double>();
            result.imag = r.Get<double>();
            return;
        }
        if (!IsFailure(m.kind)) HostGone();
        RaiseFailure(m, nullptr);
    }
}

}  // namespace

int ServeIsolatedModule(int channel) {
    g_channel.Reset(channel, channel + 1, channel + 2, true);
    HandleUnknownCallbacks(&AskHost);
    for (;;) {
        Message m;
        try {
            Receive(g_channel, m);
        } catch (const ChannelBroken&) {
            return 0;
        }
        if (m.kind == Kind::Load && g_functions.empty()) Load(m);
        else if (m.kind == Kind::Call) Call(m);
        else return 3;
    }
}

}  // namespace Efi
