// Loading extension modules: read a module's function table and register
// every function in it with the bridge.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <efi/export.h>
#include <efi/host/signature.h>
#include <efi/module.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

/// A module that cannot be loaded: missing, without a table, or with a
/// malformed entry. The message names the module and, where one is at
/// fault, the entry.
class EFI_API ModuleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One function of a module, registered.
struct ModuleFunction {
    std::string name;                ///< worksheet name from the table
    std::int32_t ret;                ///< return-type code
    std::vector<std::int32_t> args;  ///< argument-type codes
    Vrn::Run::Object function;       ///< the host function object `Thunk` made
    /// Why no call of it can ever succeed, or empty when one can: the first
    /// refusal every call would meet, "declares 0 arguments; calls take 1
    /// to 10" (each call raises "maximum 10 arguments"), "argument 2 has
    /// unknown code 5" ("argument type not implemented") or "unknown return
    /// code 3" ("return type not implemented", once the native function has
    /// run). Such an entry is still registered, as the table asks, and hosts
    /// that list functions mark it with this text.
    std::string never_callable;
    /// Names, help, messages and flags from the table.
    FunctionDescription description = {};
};

/// Checks every entry of `table` and, only when all are sound, registers
/// each with `Efi::User::Function::Thunk`. `module` names the module in
/// messages. Throws ModuleError; on error nothing is registered.
EFI_API std::vector<ModuleFunction> ReadModuleTable(const efi_module_table* table, std::string_view module);

/// Opens the shared object at `path`, finds its table under
/// EFI_MODULE_TABLE_SYMBOL and reads it. A module that loaded stays loaded
/// for the life of the process (its functions may be called at any time);
/// one that fails is closed again. Throws ModuleError.
EFI_API std::vector<ModuleFunction> LoadModule(const std::string& path);

/// What a program that loads a module does about the module's static
/// constructors: one that throws while the loader opens the module cannot
/// be caught, and the language ends the program through std::terminate.
/// While a ModuleInitReport lives, that end first hands `report` the text a
/// ModuleError would have (`module "PATH": what was thrown`) and then ends
/// the process with status 1, as the loader's state is past repair. One
/// module loads under it at a time; `path` outlives it.
class EFI_API ModuleInitReport {
public:
    using Report = void (*)(const std::string& text) noexcept;
    ModuleInitReport(const std::string& path, Report report) noexcept;
    ~ModuleInitReport();
    ModuleInitReport(const ModuleInitReport&) = delete;
    ModuleInitReport& operator=(const ModuleInitReport&) = delete;

private:
    std::terminate_handler m_previous;
};

}  // namespace Efi
