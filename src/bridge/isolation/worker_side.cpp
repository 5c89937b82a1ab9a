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

// A request the worker cannot serve (a host on the other side of the
// channel sends none): the host is told what it was, and the worker ends,
// as the channel can no longer be trusted.
[[noreturn]] void RefuseRequest(const std::string& what) {
    Send(g_channel, Kind::RequestRefused, [&](Writer& w) { w.Utf8(what); });
    ::_exit(3);
}

void Load(const Message& m) {
    std::string path, locale;
    try {
        Reader r = m.Body();
        path = r.Utf8();
        locale = r.Utf8();
        r.Done();
    } catch (const MalformedMessage&) {
        RefuseRequest("a malformed request");
    }
    // Texts and file names are converted in the host's locale.
    std::setlocale(LC_ALL, locale.c_str());
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
        const auto count = r.Get<std::uint32_t>();
        r.Need(count);  // a value takes a byte at least
        std::vector<Object> args(count);
        for (Object& a : args) a = r.Value();
        r.Done();
        if (index >= g_functions.size())
            RefuseRequest("no function at index " + std::to_string(index) + " (the table has " +
                          std::to_string(g_functions.size()) + ")");
        result = g_functions[index].function.as<Vrn::Run::Function>()->Call(args);
    } catch (const MalformedMessage&) {
        RefuseRequest("a malformed request");
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
            if (m.kind == Kind::Call) {
                Call(m);
                continue;
            }
            if (m.kind == Kind::CallbackResult) {
                Reader r = m.Body();
                result.real = r.Get<double>();
                result.imag = r.Get<double>();
                r.Done();
                return;
            }
            if (!IsFailure(m.kind)) RefuseRequest("a request out of turn");
            RaiseFailure(m, nullptr);
        } catch (const ChannelBroken&) {
            HostGone();
        } catch (const MalformedMessage&) {
            RefuseRequest("a malformed request");
        }
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
        } catch (const MalformedMessage&) {
            RefuseRequest("a malformed request");
        }
        if (m.kind == Kind::Load && g_functions.empty()) Load(m);
        else if (m.kind == Kind::Call) Call(m);
        else RefuseRequest("a request out of turn");
    }
}

}  // namespace Efi
