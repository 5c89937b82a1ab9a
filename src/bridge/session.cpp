// A host's session: see <efi/host/session.h>.
#include <efi/host/session.h>

#include <efi/host/callbacks.h>
#include <efi/host/module_loader.h>

#include "bridge/isolation/host_side.h"
#include "bridge/module_error.h"
#include "bridge/registration.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace Efi {

namespace {

bool TakesDirectory(const std::vector<std::int32_t>& codes) { return detail::InvokerFor(codes).takesDirectory; }

User::Function* NumberRoad(const Vrn::Run::Object& function) {
    User::Function* native = User::Function::Of(function);
    return native && native->TakesAndReturnsNumbers() ? native : nullptr;
}

LoadedFunction FromModule(const ModuleFunction& f, const std::string& origin, bool isolated) {
    LoadedFunction out{f.name,
                       {},
                       ResultKind(f.ret),
                       f.function,
                       TakesDirectory(f.args),
                       NumberRoad(f.function),
                       origin,
                       f.never_callable,
                       isolated,
                       f.description};
    for (std::int32_t code : f.args) out.args.push_back(ArgumentKind(code));
    return out;
}

// The same file under any of its names (a relative path, a link): the
// module it names once loaded.
std::string ResolvedPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

}  // namespace

std::string LoadedFunction::Signature() const {
    std::string s = name + "(";
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (k) s += ", ";
        if (k < description.params.size()) s += description.params[k] + ": ";
        s += ValueKindName(args[k]);
    }
    s += ") -> " + std::string(ValueKindName(ret));
    if (description.masked || description.threadSafe) {
        s += "  [";
        if (description.masked) s += description.threadSafe ? "masked, " : "masked";
        if (description.threadSafe) s += "thread-safe";
        s += "]";
    }
    return neverCallable.empty() ? s : s + "  (never callable: " + neverCallable + ")";
}

std::string ModulePath(std::string path) {
    if (path.find('/') == std::string::npos && ::access(path.c_str(), R_OK) == 0) path = "./" + path;
    return path;
}

Vrn::Run::Object DirectoryText(std::u16string dir) {
    if (!dir.empty() && dir.back() != u'/') dir += u'/';
    return Vrn::Run::Text(std::move(dir));
}

void HostSession::Claim(const std::vector<LoadedFunction>& fns) {
    for (const LoadedFunction& f : fns)
        if (auto it = m_functions.find(f.name); it != m_functions.end())
            throw ModuleError("function " + f.name + " is defined twice (" + it->second.origin + " and " + f.origin +
                              ")");
    for (const LoadedFunction& f : fns) {
        m_functions.emplace(f.name, f);
        RegisterHostCallback(f.name, f.function);
    }
}

const std::vector<LoadedFunction>& HostSession::LoadModule(const std::string& name, const LoadOptions& options) {
    const std::string path = ModulePath(name);
    const std::string resolved = ResolvedPath(path);
    if (auto it = m_modules.find(resolved); it != m_modules.end()) {
        // One file is one set of functions under its names: in this process
        // or in a worker, not both.
        if (it->second.isolated != options.isolated)
            throw ModuleError(detail::ModuleErrorText(
                path, it->second.isolated ? "already loaded isolated" : "already loaded in process"));
        return it->second.functions;
    }
    std::vector<LoadedFunction> fns;
    detail::IsolatedModule loaded;
    if (options.isolated) loaded = detail::LoadIsolatedModule(path, options.timeout);
    else loaded.functions = Efi::LoadModule(path);
    for (const ModuleFunction& f : loaded.functions) fns.push_back(FromModule(f, path, options.isolated));
    Claim(fns);
    return m_modules.emplace(resolved, Module{std::move(fns), options.isolated, std::move(loaded.workers)})
        .first->second.functions;
}

std::optional<WorkerHistory> HostSession::Workers(const std::string& path) const {
    auto it = m_modules.find(ResolvedPath(ModulePath(path)));
    if (it == m_modules.end() || !it->second.workers) return std::nullopt;
    return it->second.workers();
}

const std::vector<LoadedFunction>& HostSession::AddConversions() {
    if (!m_conversions.empty()) return m_conversions;
    std::vector<LoadedFunction> fns;
    for (const Conversion& c : kConversions) {
        auto* convert = c.convert;
        Vrn::Run::Object f =
            Vrn::Run::Func(1, [convert](std::span<const Vrn::Run::Object> a) { return convert(a[0]); });
        fns.push_back(LoadedFunction{c.name, {c.argument}, c.result, f, false, nullptr, "built-in"});
    }
    Claim(fns);
    m_conversions = std::move(fns);
    return m_conversions;
}

void HostSession::RegisterCallback(const std::string& name, Vrn::Run::Object f) {
    if (auto it = m_functions.find(name); it != m_functions.end())
        throw std::invalid_argument("the name " + name + " belongs to a function of " + it->second.origin);
    RegisterHostCallback(name, std::move(f));
}

const LoadedFunction* HostSession::Find(std::string_view name) const {
    auto it = m_functions.find(name);
    return it == m_functions.end() ? nullptr : &it->second;
}

}  // namespace Efi
