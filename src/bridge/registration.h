// Which invoker runs a registered function's calls: a function of its
// argument codes, which registration and the host's session both read.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <vrnrun/vrnrun.h>

namespace Efi::detail {

/// One of the invokers a host function object can be bound to.
struct Invoker {
    std::string_view name;       ///< the method name the host sees ("Invoke2", "Hidden1", ...)
    Vrn::Run::EntryPoint entry;  ///< what the host function object runs
    int arity;                   ///< host arguments, the directory included
    bool takesDirectory;         ///< args[0] is the directory of relative file names
};

/// The invoker for these argument codes: InvokeN for N = 1..10 arguments,
/// HiddenN when one of them is a file name, TooManyArgs for none or more
/// than 10.
const Invoker& InvokerFor(const std::vector<std::int32_t>& argType) noexcept;

}  // namespace Efi::detail
