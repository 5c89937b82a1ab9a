// Registration of native extension functions and the path of one call
// through them: host values in, native records across, host values out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <efi/call.h>
#include <efi/export.h>
#include <efi/records.h>
#include <vrnrun/vrnrun.h>

namespace Efi::User {

/// The argument-type codes a registered function may declare.
enum ArgCode : std::int32_t {
    kArgScalar0 = 0,   ///< a number, passed as a complex scalar
    kArgScalar = 1,    ///< the same
    kArgMatrix = 2,    ///< a matrix without nested elements, passed as a ComplexArray
    kArgText = 8,      ///< text, passed as a record whose `text` is narrow
    kArgFileIn = 13,   ///< a file name, passed as the narrow full path itself
    kArgFileOut = 14,  ///< the same
};

/// The return-type codes a registered function may declare.
enum RetCode : std::int32_t {
    kRetScalar = 1,  ///< a number from the scalar view
    kRetMatrix = 2,  ///< a matrix from the complex-array view (malloc'ed blocks)
    kRetText = 8,    ///< text from the text view (never freed by the bridge)
};

/// Most arguments a native function can be called with.
inline constexpr int kMaxArgs = 10;

/// Whether a call that cannot have its turn waits for it. Calls of
/// functions that are not declared thread-safe run alone in the process,
/// and thread-safe ones run at once with each other; a call made on a
/// thread while another thread's call excludes it is refused with the
/// worksheet error "a call is running on another thread" by default. A
/// host that calls from several threads may ask calls to wait instead: they
/// then wait in line, first come first served, and each gets its turn once
/// the calls ahead of it have ended. Process-wide; may be changed at any
/// time (calls already waiting go on waiting). A call nested inside a
/// thread-safe call that needs the process alone is refused either way
/// while other threads hold the turn: waiting there could wait for ever.
EFI_API void SetWaitForTurn(bool wait) noexcept;

/// The floating-point state a host computes in: the x87 control word and
/// MXCSR, as fnstcw and stmxcsr store them.
struct HostFpState {
    std::uint16_t x87Control;
    std::uint32_t mxcsr;
};

/// The state in force on this thread. Inline: a host reads it before and
/// after every call, and two calls into the library for it cost a tenth of
/// the cheapest call from Python.
inline HostFpState ReadFpState() noexcept {
    HostFpState state;
    asm volatile("fnstcw %0" : "=m"(state.x87Control)::"memory");
    asm volatile("stmxcsr %0" : "=m"(state.mxcsr)::"memory");
    return state;
}

/// Loads `state` as a native call's end does: both units reset (no x87
/// flag, an empty register stack), then the x87 word and MXCSR as given.
/// For a host that gets its own state back after native code ran.
EFI_API void LoadFpState(const HostFpState& state) noexcept;

/// While it lives, native calls made on this thread end by loading `state`
/// instead of the worksheet host's kHostControlWord; the units are reset as
/// on every exit (no x87 flag, an empty register stack), and MXCSR is
/// loaded as given. For a host whose own arithmetic runs masked (an
/// interpreter): it would otherwise have 0x273 loaded after every call only
/// to replace it at once, and changing the control word is the slowest step
/// of a call. Scopes nest, the innermost holds; the state is copied.
class EFI_API HostFpScope {
public:
    explicit HostFpScope(const HostFpState& state) noexcept : m_state(state), m_outer(t_current) {
        t_current = &m_state;
    }
    ~HostFpScope() { t_current = m_outer; }
    HostFpScope(const HostFpScope&) = delete;
    HostFpScope& operator=(const HostFpScope&) = delete;

    /// The innermost scope's state on this thread, or null when none lives.
    static const HostFpState* Current() noexcept { return t_current; }

private:
    // Inline, like the members above: a host makes a scope around every
    // call, and a call into the library for it would cost as much as the
    // scope saves.
    // Initial-exec, like every thread-local of the library: read at the end
    // of every call, where the resolver's call would cost more than the rest.
    static constinit thread_local const HostFpState* t_current [[gnu::tls_model("initial-exec")]];
    HostFpState m_state;
    const HostFpState* m_outer;
};

/// How a sweep (Function::SweepWithNumbers) ended.
struct SweepOutcome {
    /// Elements whose results were written: all of them when `failure` is
    /// null, else the index of the element that failed.
    std::size_t done;
    /// What the failing element raised (a worksheet error, a processor
    /// fault, ...), exactly as its single call would; null when all ran.
    std::exception_ptr failure;
};

/// How a sweep of real numbers (Function::SweepWithReals) ended.
struct RealSweepOutcome {
    /// As in SweepOutcome: the elements done, and what the failing one raised.
    std::size_t done;
    std::exception_ptr failure;
    /// Whether the sweep stopped after element done - 1 because its result
    /// has a nonzero imaginary part; the result is then `complexResult`
    /// (its real part is written to the results too).
    bool stoppedAtComplex;
    qlComplex complexResult;
};

/// One registered native function. The host function object made by
/// `Thunk` holds it as its target; a call runs one of the invokers below.
class EFI_API Function final : public Vrn::Run::HostValue {
public:
    using Object = Vrn::Run::Object;
    using ErrorTable = std::optional<std::vector<std::u16string>>;

    /// Stores the five registration values as given; `m_cwd` starts null.
    Function(std::u16string fname, std::intptr_t f, std::int32_t retType, std::vector<std::int32_t> argType,
             ErrorTable errTbl);

    /// Registers a native function: picks its invoker once from the argument
    /// codes ("Invoke1".."Invoke10", "Hidden1".."Hidden10" when a file-name
    /// argument is present, "TooManyArgs" otherwise) and returns the host
    /// function object bound to it. Checks nothing else.
    static Object Thunk(std::u16string fname, std::intptr_t fptr, std::int32_t retType,
                        std::vector<std::int32_t> argType, ErrorTable errTbl);

    /// The invoker's name that `Thunk` picks for these argument codes.
    static const char* InvokerName(const std::vector<std::int32_t>& argType);

    /// The registered function behind a host function object that `Thunk`
    /// made, or null for any other value.
    static Function* Of(const Object& hostFunction) noexcept;

    /// True when the function takes 1..10 numbers and returns a number: it
    /// can then be called with CallWithNumbers.
    bool TakesAndReturnsNumbers() const noexcept;

    /// The call InvokeN makes with host numbers of these values, without the
    /// host values: the same turn, nesting limit, floating-point words, call
    /// memory and errors, and the result as the number it would carry. For
    /// hosts whose own numbers are not host values, which would otherwise
    /// make and free one host value per argument and one for the result.
    /// Requires TakesAndReturnsNumbers() and one number per argument;
    /// throws std::invalid_argument otherwise.
    qlComplex CallWithNumbers(std::span<const qlComplex> args);

    /// A sweep: the call CallWithNumbers makes, once per element of
    /// `results`, with argument k of element i from columns[k][i] (a column
    /// of one number gives it to every element). Each element gets exactly
    /// what its single call would: the call control word (the function's:
    /// trapping, or masked) and clear flags at entry (but for the x87
    /// inexact flag, which no word traps and which may stay set from the
    /// element before: clearing it would slow long-double code on every
    /// element), call memory of its own released when it ends, its errors,
    /// its result. The turn, the nesting level and the floating-point set-up
    /// are taken once, and between elements the units are reloaded only
    /// when the element before left them changed. The first element that
    /// fails ends the sweep: its failure is returned, as its single call
    /// would have raised it, with its index; the results before it are
    /// written, those from it on are not. Requires TakesAndReturnsNumbers(),
    /// one column per argument, each of one number or one per result;
    /// throws std::invalid_argument otherwise. No result, no call.
    SweepOutcome SweepWithNumbers(std::span<const std::span<const qlComplex>> columns, std::span<qlComplex> results);

    /// SweepWithNumbers for real arguments and results, for hosts that keep
    /// real numbers apart: each argument's imaginary part is 0, and each
    /// result's real part is written. The first result with a nonzero
    /// imaginary part (a NaN counts; -0 does not) stops the sweep after its
    /// element, which is done; the host continues with SweepWithNumbers
    /// from the next element. Requirements and failures as there.
    RealSweepOutcome SweepWithReals(std::span<const std::span<const double>> columns, std::span<double> results);

    /// One call with N host arguments (N = 1..10).
    Object Invoke1(const Object& a1);
    Object Invoke2(const Object& a1, const Object& a2);
    Object Invoke3(const Object& a1, const Object& a2, const Object& a3);
    Object Invoke4(const Object& a1, const Object& a2, const Object& a3, const Object& a4);
    Object Invoke5(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5);
    Object Invoke6(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                   const Object& a6);
    Object Invoke7(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                   const Object& a6, const Object& a7);
    Object Invoke8(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                   const Object& a6, const Object& a7, const Object& a8);
    Object Invoke9(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                   const Object& a6, const Object& a7, const Object& a8, const Object& a9);
    Object Invoke10(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                    const Object& a6, const Object& a7, const Object& a8, const Object& a9, const Object& a10);

    /// A file function's call: `cwd` becomes `m_cwd`, then as InvokeN.
    Object Hidden1(const Object& cwd, const Object& a1);
    Object Hidden2(const Object& cwd, const Object& a1, const Object& a2);
    Object Hidden3(const Object& cwd, const Object& a1, const Object& a2, const Object& a3);
    Object Hidden4(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4);
    Object Hidden5(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                   const Object& a5);
    Object Hidden6(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                   const Object& a5, const Object& a6);
    Object Hidden7(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                   const Object& a5, const Object& a6, const Object& a7);
    Object Hidden8(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                   const Object& a5, const Object& a6, const Object& a7, const Object& a8);
    Object Hidden9(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                   const Object& a5, const Object& a6, const Object& a7, const Object& a8, const Object& a9);
    Object Hidden10(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                    const Object& a5, const Object& a6, const Object& a7, const Object& a8, const Object& a9,
                    const Object& a10);

    /// The invoker of a function registered with 0 or more than 10
    /// arguments: raises "maximum 10 arguments" (no argument).
    [[noreturn]] Object TooManyArgs(const Object& arg1);

    /// Raises the worksheet error a nonzero native result code stands for;
    /// returns for 0.
    void CheckError(std::uint32_t errcode);
    /// Fills `loc` from host argument n (from 1) by its code and returns
    /// what the native function receives for it.
    void* MarshalArg(Value* loc, int n, const Object& arg);
    /// The host value of the result record, by `m_ret`.
    Object MarshalRet(Value* loc);

    /// The call with N host arguments in `args` (what InvokeN forwards to);
    /// instantiated in the library for N = 1..10.
    template <std::size_t N>
    Object InvokeN(const Object* args);
    /// The file function's call: args[0] is the directory.
    template <std::size_t N>
    Object HiddenN(const Object* args);

    std::u16string m_fname;            ///< registered name (the call path does not read it)
    std::intptr_t m_fptr;              ///< native entry address
    std::int32_t m_ret;                ///< return-type code
    std::vector<std::int32_t> m_args;  ///< argument-type codes, one per argument
    ErrorTable m_errmsg;               ///< message k-1 for native error index k; may be absent
    Object m_cwd;                      ///< directory prefix of relative file names, last given
    /// Calls run with every floating-point exception masked, and an
    /// infinite or NaN result that no argument explains is raised as the
    /// fault it stands for ("overflow", "floating point error"). False
    /// unless set after registration (a module's table asks for it).
    bool m_masked = false;
    /// Calls may run at once with other thread-safe calls on other threads
    /// (they share the turn); a function that is not runs alone in the
    /// process. False unless set after registration (a module's table
    /// declares it).
    bool m_thread_safe = false;

private:
    void* MarshalScalar(Value* loc, int n, const Object& arg);
    void* MarshalMatrix(Value* loc, int n, const Object& arg);
    void* MarshalText(Value* loc, int n, const Object& arg);
    void* MarshalFileName(Value* loc, int n, const Object& arg);
    Object MatrixResult(Value* loc);
};

/// A C++ exception that a native function let out, other than a worksheet
/// error or a processor fault (a library's std::domain_error, say), as the
/// worksheet error every host reports: its message what() said, no argument
/// to blame. Exceptions of the host's own callbacks pass through as they are.
class EFI_API ModuleException : public Vrn::Run::AppException {
public:
    ModuleException(std::u16string message, std::string typeName);
    /// The exception's type as C++ names it ("std::domain_error").
    const std::string& TypeName() const noexcept { return m_typeName; }

private:
    std::string m_typeName;
};

}  // namespace Efi::User
