// Extension modules: checking a module's table and registering its
// functions. The whole table is checked before the first registration, so a
// module is either loaded whole or not at all.
#include <efi/host/bridge.h>
#include <efi/host/error_text.h>
#include <efi/host/module_loader.h>
#include <efi/host/signature.h>
#include <efi/masked_traps.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>

#include "bridge/description_rules.h"
#include "bridge/module_abi.h"
#include "bridge/module_error.h"

namespace Efi {

namespace detail {

std::string ModuleErrorText(std::string_view path, std::string_view what) {
    return "module \"" + std::string(path) + "\": " + std::string(what);
}

}  // namespace detail

namespace {

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

[[noreturn]] void Fail(std::string_view module, const std::string& what) {
    throw ModuleError(detail::ModuleErrorText(module, what));
}

[[noreturn]] void FailEntry(std::string_view module, std::uint32_t index, const char* name, const std::string& what) {
    std::string entry = "entry " + std::to_string(index);
    if (name) entry += " (" + Quoted(name) + ")";
    Fail(module, entry + ": " + what);
}

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.'; }

// The name is read no further than one byte past the longest allowed, so a
// missing terminator cannot run the reader off into memory.
const char* CheckName(std::string_view module, std::uint32_t index, const char* name) {
    if (!name) FailEntry(module, index, nullptr, "no name");
    std::size_t len = strnlen(name, EFI_MODULE_MAX_NAME + 1);
    if (len == 0) FailEntry(module, index, nullptr, "empty name");
    if (len > EFI_MODULE_MAX_NAME) FailEntry(module, index, nullptr, "name longer than 255 bytes");
    bool ok = IsNameStart(name[0]);
    for (std::size_t i = 1; ok && i < len; ++i) ok = IsNameChar(name[i]);
    if (!ok) FailEntry(module, index, name, "name must be letters, digits, '_' or '.', not starting with a digit");
    return name;
}

void CheckEntry(std::string_view module, std::uint32_t index, const efi_function_entry& e) {
    const char* name = CheckName(module, index, e.name);
    if (!e.entry) FailEntry(module, index, name, "no entry address");
    if (e.nargs < 0 || e.nargs > EFI_MODULE_MAX_ARGS)
        FailEntry(module, index, name, "argument count " + std::to_string(e.nargs) + " out of range 0..64");
    if (e.nargs > 0 && !e.args) FailEntry(module, index, name, "argument codes missing");
    if (e.nmessages < 0 || e.nmessages > EFI_MODULE_MAX_MESSAGES)
        FailEntry(module, index, name, "message count " + std::to_string(e.nmessages) + " out of range 0..65535");
    if (e.nmessages > 0 && !e.messages) FailEntry(module, index, name, "message table missing");
    for (std::int32_t k = 0; k < e.nmessages; ++k)
        if (!e.messages[k]) FailEntry(module, index, name, "message " + std::to_string(k + 1) + " is null");
}

// One text of a description, `field` naming it in the refusal; null is no
// text. Read no further than one byte past its bound, as names are.
std::string DescriptionText(std::string_view module, std::uint32_t index, const char* name, const std::string& field,
                            const char* text, std::size_t bound, bool oneLine) {
    if (!text) return {};
    const std::size_t len = strnlen(text, bound + 1);
    if (len > bound) FailEntry(module, index, name, field + " longer than " + std::to_string(bound) + " bytes");
    std::string_view view(text, len);
    if (!detail::IsValidUtf8(view)) FailEntry(module, index, name, field + " is not valid UTF-8");
    if (oneLine && !detail::IsOneLine(view)) FailEntry(module, index, name, field + " must be one line");
    return std::string(view);
}

// The description of entry `index`, checked as strictly as the entry: each
// parameter named by an identifier, no name twice, texts bounded and valid
// UTF-8, no flag this library does not know.
FunctionDescription ReadDescription(std::string_view module, std::uint32_t index, const efi_function_entry& e,
                                    const efi_function_info& info) {
    constexpr std::uint32_t kKnownFlags = EFI_FUNCTION_MASKED | EFI_FUNCTION_THREAD_SAFE;
    FunctionDescription d;
    if (info.flags & ~kKnownFlags) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%#x", info.flags & ~kKnownFlags);
        FailEntry(module, index, e.name, std::string("unknown flags ") + hex);
    }
    d.masked = (info.flags & EFI_FUNCTION_MASKED) != 0;
    d.threadSafe = (info.flags & EFI_FUNCTION_THREAD_SAFE) != 0;
    d.summary = DescriptionText(module, index, e.name, "summary", info.summary, EFI_MODULE_MAX_SUMMARY, true);
    d.help = DescriptionText(module, index, e.name, "help", info.help, EFI_MODULE_MAX_HELP, false);
    if (!info.params) return d;
    std::set<std::string> seen;
    for (std::int32_t k = 0; k < e.nargs; ++k) {
        const std::string field = "parameter " + std::to_string(k + 1);
        const efi_parameter& p = info.params[k];
        if (!p.name) FailEntry(module, index, e.name, field + " has no name");
        std::string pname =
            DescriptionText(module, index, e.name, field + " name", p.name, EFI_MODULE_MAX_PARAM_NAME, true);
        if (!detail::IsParameterName(pname))
            FailEntry(module, index, e.name,
                      field + " name " + Quoted(pname) + " must be letters, digits or '_', not starting with a digit");
        if (!seen.insert(pname).second)
            FailEntry(module, index, e.name, field + " name " + Quoted(pname) + " listed twice");
        d.params.push_back(std::move(pname));
        d.paramHelp.push_back(
            DescriptionText(module, index, e.name, field + " help", p.help, EFI_MODULE_MAX_HELP, false));
    }
    return d;
}

// The order is the call's: the invoker is chosen by the count, each
// argument is checked by its code before the native function runs, and the
// return code is read after it.
std::string NeverCallableReason(std::int32_t ret, const std::vector<std::int32_t>& args) {
    if (args.empty() || args.size() > static_cast<std::size_t>(User::kMaxArgs))
        return "declares " + std::to_string(args.size()) + " arguments; calls take 1 to 10";
    for (std::size_t k = 0; k < args.size(); ++k)
        if (ArgumentKind(args[k]) == ValueKind::Unknown)
            return "argument " + std::to_string(k + 1) + " has unknown code " + std::to_string(args[k]);
    if (ResultKind(ret) == ValueKind::Unknown) return "unknown return code " + std::to_string(ret);
    return {};
}

ModuleFunction Register(const efi_function_entry& e, FunctionDescription description) {
    std::vector<std::int32_t> args(e.args, e.args + e.nargs);
    User::Function::ErrorTable messages;
    if (e.nmessages > 0) {
        messages.emplace();
        messages->reserve(static_cast<std::size_t>(e.nmessages));
        for (std::int32_t k = 0; k < e.nmessages; ++k) messages->push_back(Vrn::Run::FromUtf8(e.messages[k]));
    }
    for (std::int32_t k = 0; k < e.nmessages; ++k) description.messages.emplace_back(e.messages[k]);
    ModuleFunction f{e.name, e.ret, args, nullptr, NeverCallableReason(e.ret, args), std::move(description)};
    f.function = User::Function::Thunk(Vrn::Run::FromUtf8(e.name), reinterpret_cast<std::intptr_t>(e.entry), e.ret,
                                       std::move(args), std::move(messages));
    User::Function* native = User::Function::Of(f.function);
    native->m_masked = f.description.masked;
    native->m_thread_safe = f.description.threadSafe;
    return f;
}

}  // namespace

std::vector<ModuleFunction> ReadModuleTable(const efi_module_table* table, std::string_view module) {
    if (!table) Fail(module, "no function table");
    if (table->version != EFI_MODULE_VERSION && table->version != EFI_MODULE_VERSION_1)
        Fail(module, "table version " + std::to_string(table->version) + ", expected 1 or 2");
    // A table of version 1 ends before `info`: reading it would read past
    // the module's symbol.
    const efi_function_info* info = table->version == EFI_MODULE_VERSION ? table->info : nullptr;
    if (table->count > EFI_MODULE_MAX_FUNCTIONS)
        Fail(module, "table lists " + std::to_string(table->count) + " functions, at most 4096 allowed");
    if (table->count > 0 && !table->functions) Fail(module, "table has no entries array");

    std::set<std::string_view> names;
    std::vector<FunctionDescription> descriptions(table->count);
    for (std::uint32_t i = 0; i < table->count; ++i) {
        CheckEntry(module, i, table->functions[i]);
        if (!names.insert(table->functions[i].name).second)
            FailEntry(module, i, table->functions[i].name, "name listed twice");
        if (info) descriptions[i] = ReadDescription(module, i, table->functions[i], info[i]);
    }

    std::vector<ModuleFunction> out;
    out.reserve(table->count);
    for (std::uint32_t i = 0; i < table->count; ++i)
        out.push_back(Register(table->functions[i], std::move(descriptions[i])));
    return out;
}

namespace {

// The module being loaded under a ModuleInitReport, and where its report goes.
const std::string* g_initializing = nullptr;
ModuleInitReport::Report g_report = nullptr;

[[noreturn]] void ReportInitFailure() {
    g_report(detail::ModuleErrorText(*g_initializing, ThrownText(std::current_exception())));
    std::_Exit(1);
}

// A module's constructors run as dlopen loads it, and threads they start
// inherit the floating-point state they run with. Neither is written for
// the host's trapping word: a trap in a constructor, or on such a thread
// later, would end the process. They run with every exception masked, and
// the caller's state (words and flags) comes back afterwards, whatever the
// constructors changed (start-up code linked in by -ffast-math sets
// flush-to-zero, for one).
void* OpenMasked(const std::string& path) {
    CMaskedTraps masked;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void CloseMasked(void* handle) {
    CMaskedTraps masked;
    dlclose(handle);
}

}  // namespace

std::vector<ModuleFunction> LoadModule(const std::string& path) {
    void* handle = nullptr;
    try {
        handle = OpenMasked(path);
    } catch (...) {
        // A constructor's exception ends the process inside the loader, which
        // is declared not to throw, as a rule; where it comes out instead
        // (unoptimised and sanitizer builds), it is reported the same way,
        // since the loader it left is in no state to load anything again.
        if (g_report) ReportInitFailure();
        throw;
    }
    if (!handle) {
        const char* why = dlerror();
        Fail(path, std::string("cannot be loaded: ") + (why ? why : "unknown reason"));
    }
    auto* table = static_cast<const efi_module_table*>(dlsym(handle, EFI_MODULE_TABLE_SYMBOL));
    try {
        if (std::optional<std::string> outdated = detail::OutdatedReference(handle))
            Fail(path, detail::OutdatedModuleText(*outdated));
        if (!table) Fail(path, "exports no " EFI_MODULE_TABLE_SYMBOL);
        return ReadModuleTable(table, path);
    } catch (...) {
        CloseMasked(handle);
        throw;
    }
}

ModuleInitReport::ModuleInitReport(const std::string& path, Report report) noexcept
    : m_previous(std::set_terminate(ReportInitFailure)) {
    g_initializing = &path;
    g_report = report;
}

ModuleInitReport::~ModuleInitReport() {
    std::set_terminate(m_previous);
    g_initializing = nullptr;
    g_report = nullptr;
}

}  // namespace Efi
