// Processor faults as typed exceptions. A translation hook (the host's, or
// extension code's own) turns a fault into one of these classes and throws
// it; native code catches them by category: memory faults, floating-point
// faults, and the rest. This library defines the classes but throws none.
#pragma once

#include <cstddef>
#include <cstdint>

#include <efi/export.h>

/// Most information words an exception record carries.
inline constexpr std::uint32_t EXCEPTION_MAXIMUM_PARAMETERS = 15;

/// The fault codes a record carries, under their platform names.
inline constexpr std::uint32_t EXCEPTION_GUARD_PAGE = 0x80000001;
inline constexpr std::uint32_t EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002;
inline constexpr std::uint32_t EXCEPTION_BREAKPOINT = 0x80000003;
inline constexpr std::uint32_t EXCEPTION_SINGLE_STEP = 0x80000004;
inline constexpr std::uint32_t EXCEPTION_ACCESS_VIOLATION = 0xC0000005;
inline constexpr std::uint32_t EXCEPTION_IN_PAGE_ERROR = 0xC0000006;
inline constexpr std::uint32_t EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001D;
inline constexpr std::uint32_t EXCEPTION_NONCONTINUABLE_EXCEPTION = 0xC0000025;
inline constexpr std::uint32_t EXCEPTION_INVALID_DISPOSITION = 0xC0000026;
inline constexpr std::uint32_t EXCEPTION_ARRAY_BOUNDS_EXCEEDED = 0xC000008C;
inline constexpr std::uint32_t EXCEPTION_FLT_DENORMAL_OPERAND = 0xC000008D;
inline constexpr std::uint32_t EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008E;
inline constexpr std::uint32_t EXCEPTION_FLT_INEXACT_RESULT = 0xC000008F;
inline constexpr std::uint32_t EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090;
inline constexpr std::uint32_t EXCEPTION_FLT_OVERFLOW = 0xC0000091;
inline constexpr std::uint32_t EXCEPTION_FLT_STACK_CHECK = 0xC0000092;
inline constexpr std::uint32_t EXCEPTION_FLT_UNDERFLOW = 0xC0000093;
inline constexpr std::uint32_t EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094;
inline constexpr std::uint32_t EXCEPTION_INT_OVERFLOW = 0xC0000095;
inline constexpr std::uint32_t EXCEPTION_PRIV_INSTRUCTION = 0xC0000096;
inline constexpr std::uint32_t EXCEPTION_STACK_OVERFLOW = 0xC00000FD;

/// What the translation hook records about one fault. The layout is the
/// published one (64-bit widths), so code written against it reads the
/// same members at the same offsets.
struct EXCEPTION_RECORD {
    std::uint32_t ExceptionCode;        ///< the fault's code (0xC000008E, ...)
    std::uint32_t ExceptionFlags;       ///< 0: the fault could be continued from
    EXCEPTION_RECORD* ExceptionRecord;  ///< a chained record, or null
    void* ExceptionAddress;             ///< the faulting instruction
    std::uint32_t NumberParameters;     ///< how many information words are valid
    /// Information words. An access violation carries the read-write flag
    /// (0 read, 1 write, 8 execution) and the inaccessible address.
    std::uintptr_t ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

/// The exception pointers handed to the translation hook.
struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;  ///< never null when built by a hook
    /// The processor context of the fault, or null when the hook does not keep
    /// it (a signal frame is gone once the handler has been left).
    void* ContextRecord;
};

static_assert(offsetof(EXCEPTION_RECORD, ExceptionFlags) == 4);
static_assert(offsetof(EXCEPTION_RECORD, ExceptionRecord) == 8);
static_assert(offsetof(EXCEPTION_RECORD, ExceptionAddress) == 16);
static_assert(offsetof(EXCEPTION_RECORD, NumberParameters) == 24);
static_assert(offsetof(EXCEPTION_RECORD, ExceptionInformation) == 32);
static_assert(sizeof(EXCEPTION_RECORD) == 152);
static_assert(sizeof(EXCEPTION_POINTERS) == 16);

// Every class has the same four special members: the default constructor
// (code 0, record null), the constructor from a fault, the copy constructor
// and a destructor that does nothing. Destructors are deliberately not
// virtual: the objects are plain values owned by the exception machinery and
// never deleted through a base pointer. The copy constructor is written out,
// so assignment is defaulted explicitly to keep it.
#define EFI_SE_SPECIAL_MEMBERS(Class)                                      \
    Class() noexcept;                                                      \
    Class(const std::uint32_t& code, EXCEPTION_POINTERS* record) noexcept; \
    Class(const Class& other) noexcept;                                    \
    Class& operator=(const Class& other) noexcept = default;               \
    ~Class()

/// Root of the tree: the fault's code and the record that the hook made.
class EFI_API SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_Exception);

    /// The fault's code.
    std::uint32_t GetCode() const noexcept;
    /// The hook's record, or null. Not owned; valid only until the next fault
    /// on the same thread (see the hook's documentation).
    const EXCEPTION_POINTERS* GetRecord() const noexcept;
    /// The text for `code`: the worksheet wording for array bounds ("index
    /// out of bounds"), floating-point division by zero ("singularity"),
    /// invalid operation ("floating point error") and overflow ("overflow"),
    /// the platform name for the other known codes, and
    /// "EXCEPTION_UNKNOWN_EXCEPTION" for the rest. Never null; static text.
    static const char* ExceptionStringFromCode(std::uint32_t code) noexcept;

protected:
    std::uint32_t m_code;          ///< the fault's code
    EXCEPTION_POINTERS* m_record;  ///< the hook's record, may be null
};

class SE_Access_Exception;

/// Memory faults.
class EFI_API SE_Memory_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_Memory_Exception);
    /// This object as an access violation, or null when it is another memory fault.
    virtual SE_Access_Exception* cast_to_Access_Exception() noexcept;
};

/// Access violation (0xC0000005). The queries read the record's information
/// words; on an object without a record (default-built) they answer 0 and
/// null rather than read through a null pointer.
class EFI_API SE_Access_Exception : public SE_Memory_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_Access_Exception);
    SE_Access_Exception* cast_to_Access_Exception() noexcept override;
    /// 1 when the read-write flag is 0 (the fault was a read), else 0.
    int WasReading() const noexcept;
    /// 1 when the read-write flag is 1 (the fault was a write), else 0. An
    /// execution fault (flag 8) is neither a read nor a write.
    int WasWriting() const noexcept;
    /// The address of the inaccessible data (second information word).
    void* VirtualAddress() const noexcept;

private:
    bool HasInformationWords() const noexcept;
};

/// Misaligned data (0x80000002).
class EFI_API SE_DataMisalignment_Exception : public SE_Memory_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_DataMisalignment_Exception);
};

/// Array bounds exceeded (0xC000008C).
class EFI_API SE_ArrayBounds_Exception : public SE_Memory_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_ArrayBounds_Exception);
};

/// Floating-point faults. Building one (default or from a fault, never by
/// copying) captures the pending floating-point flags with `_clearfp` and so
/// clears them in the unit of the calling thread.
class EFI_API SE_FPE_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPE_Exception);
    /// The pending flags at construction, as `_clearfp` gives them
    /// (inexact 0x1, underflow 0x2, overflow 0x4, zero divide 0x8,
    /// invalid 0x10, denormal 0x80000).
    const std::uint32_t& status() const noexcept;
    // The predicates answer from the class alone, never from the status.
    virtual int IsOverflow() const noexcept;    ///< 1 only for SE_FPEOverflow_Exception
    virtual int IsDenormal() const noexcept;    ///< 1 only for SE_FPEDenormal_Exception
    virtual int IsDivByZero() const noexcept;   ///< 1 only for SE_FPEDivByZero_Exception
    virtual int IsInexact() const noexcept;     ///< 1 only for SE_FPEInexactResult_Exception
    virtual int IsInvalid() const noexcept;     ///< 1 only for SE_FPEInvalidOperation_Exception
    virtual int IsStackCheck() const noexcept;  ///< 1 only for SE_FPEStackCheck_Exception
    virtual int IsUnderflow() const noexcept;   ///< 1 only for SE_FPEUnderflow_Exception

protected:
    std::uint32_t m_status;  ///< pending flags captured at construction
};

/// Floating-point overflow (0xC0000091).
class EFI_API SE_FPEOverflow_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEOverflow_Exception);
    int IsOverflow() const noexcept override;
};

/// Denormal operand (0xC000008D).
class EFI_API SE_FPEDenormal_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEDenormal_Exception);
    int IsDenormal() const noexcept override;
};

/// Floating-point division by zero (0xC000008E).
class EFI_API SE_FPEDivByZero_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEDivByZero_Exception);
    int IsDivByZero() const noexcept override;
};

/// Inexact result (0xC000008F).
class EFI_API SE_FPEInexactResult_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEInexactResult_Exception);
    int IsInexact() const noexcept override;
};

/// Invalid operation (0xC0000090).
class EFI_API SE_FPEInvalidOperation_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEInvalidOperation_Exception);
    int IsInvalid() const noexcept override;
};

/// x87 register-stack fault (0xC0000092).
class EFI_API SE_FPEStackCheck_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEStackCheck_Exception);
    int IsStackCheck() const noexcept override;
};

/// Floating-point underflow (0xC0000093).
class EFI_API SE_FPEUnderflow_Exception : public SE_FPE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_FPEUnderflow_Exception);
    int IsUnderflow() const noexcept override;
};

/// Breakpoint (0x80000003).
class EFI_API SE_Breakpoint_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_Breakpoint_Exception);
};

/// Guard page touched (0x80000001).
class EFI_API SE_GuardPage_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_GuardPage_Exception);
};

/// Integer division by zero (0xC0000094).
class EFI_API SE_INTDivByZero_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_INTDivByZero_Exception);
};

/// Integer overflow (0xC0000095).
class EFI_API SE_INTOverflow_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_INTOverflow_Exception);
};

/// Illegal instruction (0xC000001D).
class EFI_API SE_IllegalInstruction_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_IllegalInstruction_Exception);
};

/// Page could not be brought in (0xC0000006).
class EFI_API SE_InPageError_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_InPageError_Exception);
};

/// Invalid disposition from a handler (0xC0000026).
class EFI_API SE_InvalidDisposition_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_InvalidDisposition_Exception);
};

/// Continuation after a non-continuable fault (0xC0000025).
class EFI_API SE_NonContinuable_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_NonContinuable_Exception);
};

/// Privileged instruction (0xC0000096).
class EFI_API SE_PrivInstruction_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_PrivInstruction_Exception);
};

/// Single step (0x80000004).
class EFI_API SE_SingleStep_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_SingleStep_Exception);
};

/// Stack overflow (0xC00000FD).
class EFI_API SE_StackOverflow_Exception : public SE_Exception {
public:
    EFI_SE_SPECIAL_MEMBERS(SE_StackOverflow_Exception);
};

#undef EFI_SE_SPECIAL_MEMBERS

// Code and record, nothing else: the root has no virtual operations.
static_assert(sizeof(SE_Exception) == 16);
