// The processor-fault classes: construction, queries and the code-to-text table.
#include <efi/call.h>
#include <efi/host/fault_recovery.h>
#include <efi/se_exception.h>

namespace {

// Read-write flag values of an access violation's first information word.
constexpr std::uintptr_t kAccessRead = 0;
constexpr std::uintptr_t kAccessWrite = 1;

}  // namespace

// ---- SE_Exception --------------------------------------------------------

SE_Exception::SE_Exception() noexcept : m_code(0), m_record(nullptr) {}
SE_Exception::SE_Exception(const std::uint32_t& code, EXCEPTION_POINTERS* record) noexcept
    : m_code(code), m_record(record) {}
SE_Exception::SE_Exception(const SE_Exception& other) noexcept = default;
SE_Exception::~SE_Exception() = default;

std::uint32_t SE_Exception::GetCode() const noexcept { return m_code; }
const EXCEPTION_POINTERS* SE_Exception::GetRecord() const noexcept { return m_record; }

const char* SE_Exception::ExceptionStringFromCode(std::uint32_t code) noexcept {
    switch (code) {
        case EXCEPTION_GUARD_PAGE: return "EXCEPTION_GUARD_PAGE";
        case EXCEPTION_DATATYPE_MISALIGNMENT: return "EXCEPTION_DATATYPE_MISALIGNMENT";
        case EXCEPTION_BREAKPOINT: return "EXCEPTION_BREAKPOINT";
        case EXCEPTION_SINGLE_STEP: return "EXCEPTION_SINGLE_STEP";
        case EXCEPTION_ACCESS_VIOLATION: return "EXCEPTION_ACCESS_VIOLATION";
        case EXCEPTION_IN_PAGE_ERROR: return "EXCEPTION_IN_PAGE_ERROR";
        case EXCEPTION_ILLEGAL_INSTRUCTION: return "EXCEPTION_ILLEGAL_INSTRUCTION";
        case EXCEPTION_NONCONTINUABLE_EXCEPTION: return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
        case EXCEPTION_INVALID_DISPOSITION: return "EXCEPTION_INVALID_DISPOSITION";
        // The four faults that worksheet arithmetic meets carry the wording
        // the worksheet user is shown.
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "index out of bounds";
        case EXCEPTION_FLT_DENORMAL_OPERAND: return "EXCEPTION_FLT_DENORMAL_OPERAND";
        case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "singularity";
        case EXCEPTION_FLT_INEXACT_RESULT: return "EXCEPTION_FLT_INEXACT_RESULT";
        case EXCEPTION_FLT_INVALID_OPERATION: return "floating point error";
        case EXCEPTION_FLT_OVERFLOW: return "overflow";
        case EXCEPTION_FLT_STACK_CHECK: return "EXCEPTION_FLT_STACK_CHECK";
        case EXCEPTION_FLT_UNDERFLOW: return "EXCEPTION_FLT_UNDERFLOW";
        case EXCEPTION_INT_DIVIDE_BY_ZERO: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
        case EXCEPTION_INT_OVERFLOW: return "EXCEPTION_INT_OVERFLOW";
        case EXCEPTION_PRIV_INSTRUCTION: return "EXCEPTION_PRIV_INSTRUCTION";
        case EXCEPTION_STACK_OVERFLOW: return "EXCEPTION_STACK_OVERFLOW";
        default: return "EXCEPTION_UNKNOWN_EXCEPTION";
    }
}

// ---- Memory faults -------------------------------------------------------

// Special members of a class whose construction only passes code and record on.
#define EFI_SE_PLAIN_MEMBERS(Class, Base)                                                                \
    Class::Class() noexcept : Base() {}                                                                  \
    Class::Class(const std::uint32_t& code, EXCEPTION_POINTERS* record) noexcept : Base(code, record) {} \
    Class::Class(const Class& other) noexcept = default;                                                 \
    Class::~Class() = default;

EFI_SE_PLAIN_MEMBERS(SE_Memory_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_Access_Exception, SE_Memory_Exception)
EFI_SE_PLAIN_MEMBERS(SE_DataMisalignment_Exception, SE_Memory_Exception)
EFI_SE_PLAIN_MEMBERS(SE_ArrayBounds_Exception, SE_Memory_Exception)

SE_Access_Exception* SE_Memory_Exception::cast_to_Access_Exception() noexcept { return nullptr; }
SE_Access_Exception* SE_Access_Exception::cast_to_Access_Exception() noexcept { return this; }

bool SE_Access_Exception::HasInformationWords() const noexcept {
    return m_record && m_record->ExceptionRecord && m_record->ExceptionRecord->NumberParameters >= 2;
}

int SE_Access_Exception::WasReading() const noexcept {
    return HasInformationWords() && m_record->ExceptionRecord->ExceptionInformation[0] == kAccessRead;
}

int SE_Access_Exception::WasWriting() const noexcept {
    return HasInformationWords() && m_record->ExceptionRecord->ExceptionInformation[0] == kAccessWrite;
}

void* SE_Access_Exception::VirtualAddress() const noexcept {
    if (!HasInformationWords()) return nullptr;
    return reinterpret_cast<void*>(m_record->ExceptionRecord->ExceptionInformation[1]);
}

// ---- Floating-point faults -----------------------------------------------

// Capturing the flags also clears them, so that the handler that catches the
// fault computes with a clean unit. A copy keeps the captured word and leaves
// the unit alone: the exception machinery copies freely.
SE_FPE_Exception::SE_FPE_Exception() noexcept : SE_Exception(), m_status(_clearfp()) {}
SE_FPE_Exception::SE_FPE_Exception(const std::uint32_t& code, EXCEPTION_POINTERS* record) noexcept
    : SE_Exception(code, record), m_status(_clearfp()) {}
SE_FPE_Exception::SE_FPE_Exception(const SE_FPE_Exception& other) noexcept = default;
SE_FPE_Exception::~SE_FPE_Exception() = default;

const std::uint32_t& SE_FPE_Exception::status() const noexcept { return m_status; }

int SE_FPE_Exception::IsOverflow() const noexcept { return 0; }
int SE_FPE_Exception::IsDenormal() const noexcept { return 0; }
int SE_FPE_Exception::IsDivByZero() const noexcept { return 0; }
int SE_FPE_Exception::IsInexact() const noexcept { return 0; }
int SE_FPE_Exception::IsInvalid() const noexcept { return 0; }
int SE_FPE_Exception::IsStackCheck() const noexcept { return 0; }
int SE_FPE_Exception::IsUnderflow() const noexcept { return 0; }

// Each subclass builds through SE_FPE_Exception, which reads the flags once.
#define EFI_SE_FPE_CLASS(Class, Predicate)        \
    EFI_SE_PLAIN_MEMBERS(Class, SE_FPE_Exception) \
    int Class::Predicate() const noexcept { return 1; }

EFI_SE_FPE_CLASS(SE_FPEOverflow_Exception, IsOverflow)
EFI_SE_FPE_CLASS(SE_FPEDenormal_Exception, IsDenormal)
EFI_SE_FPE_CLASS(SE_FPEDivByZero_Exception, IsDivByZero)
EFI_SE_FPE_CLASS(SE_FPEInexactResult_Exception, IsInexact)
EFI_SE_FPE_CLASS(SE_FPEInvalidOperation_Exception, IsInvalid)
EFI_SE_FPE_CLASS(SE_FPEStackCheck_Exception, IsStackCheck)
EFI_SE_FPE_CLASS(SE_FPEUnderflow_Exception, IsUnderflow)

// ---- The other faults ----------------------------------------------------

EFI_SE_PLAIN_MEMBERS(SE_Breakpoint_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_GuardPage_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_INTDivByZero_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_INTOverflow_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_IllegalInstruction_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_InPageError_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_InvalidDisposition_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_NonContinuable_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_PrivInstruction_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_SingleStep_Exception, SE_Exception)
EFI_SE_PLAIN_MEMBERS(SE_StackOverflow_Exception, SE_Exception)

// ---- Throwing by code ------------------------------------------------------

[[noreturn]] void Efi::User::ThrowProcessorFault(std::uint32_t code, EXCEPTION_POINTERS* record) {
    switch (code) {
        case EXCEPTION_FLT_DENORMAL_OPERAND: throw SE_FPEDenormal_Exception(code, record);
        case EXCEPTION_FLT_DIVIDE_BY_ZERO: throw SE_FPEDivByZero_Exception(code, record);
        case EXCEPTION_FLT_OVERFLOW: throw SE_FPEOverflow_Exception(code, record);
        case EXCEPTION_FLT_INVALID_OPERATION: throw SE_FPEInvalidOperation_Exception(code, record);
        case EXCEPTION_FLT_UNDERFLOW: throw SE_FPEUnderflow_Exception(code, record);
        case EXCEPTION_FLT_INEXACT_RESULT: throw SE_FPEInexactResult_Exception(code, record);
        case EXCEPTION_INT_DIVIDE_BY_ZERO: throw SE_INTDivByZero_Exception(code, record);
        case EXCEPTION_INT_OVERFLOW: throw SE_INTOverflow_Exception(code, record);
        default: throw SE_FPE_Exception(code, record);
    }
}
