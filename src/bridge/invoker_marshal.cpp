// The invokers' marshalling: host arguments into native records by their
// argument codes, and the result record back into a host value by the
// return code. (Host values for native code that asks for them, through
// EfiMarshal, are values/marshal.cpp.)
#include <efi/errors.h>
#include <efi/host/bridge.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "bridge/call_scope.h"
#include "bridge/complex_array.h"
#include "bridge/native_failure.h"
#include "text.h"
#include "values/matrix_plane.h"

namespace Efi::detail {

constinit thread_local const Vrn::Run::Object* t_callDirectory = nullptr;

namespace {
std::mutex g_directoryLock;
}  // namespace

void NoteCallDirectory(User::Function& f, const Vrn::Run::Object& dir) {
    if (!f.m_thread_safe) {
        f.m_cwd = dir;
        return;
    }
    // Swapped under the lock and released after it: the old value's last
    // reference may go with it, and that is no reason to hold others back.
    Vrn::Run::Object given = dir;
    {
        std::lock_guard<std::mutex> lock(g_directoryLock);
        std::swap(f.m_cwd, given);
    }
}

}  // namespace Efi::detail

namespace Efi::User {

using Vrn::Run::Object;

namespace {

// A buffer for narrow text of `len` bytes and its NUL from the current
// call's memory: the next multiple of 8 above the length.
char* NarrowBuffer(std::size_t len) {
    if (len > UINT_MAX - 8) Throw("out of memory", kNoArgument);
    unsigned bytes = static_cast<unsigned>((len + 8) / 8 * 8);
    return static_cast<char*>(IqlAllocator::m_current->allocate_array(bytes));
}

// Narrow copy of host text for native code: the low byte of each code unit,
// cut at the first NUL, in a buffer sized from the length in characters.
char* NarrowCopy(std::u16string_view text) {
    char* out = NarrowBuffer(text.size());
    std::size_t i = 0;
    for (; i < text.size() && text[i] != u'\0'; ++i) out[i] = static_cast<char>(text[i] & 0xFF);
    out[i] = '\0';
    return out;
}

// A file name for native code. Files on this platform are named by bytes in
// the locale's multibyte encoding (UTF-8 as a rule), which is what every
// other program writes, so a file name is converted with that encoding and
// not by low bytes: "café.txt" must reach the file that a directory listing
// shows under that name, never a file named by the Latin-1 byte 0xE9. The
// buffer follows the text rule applied to the converted length in bytes.
// Null when the name has a character the locale cannot encode.
char* FileNameCopy(std::u16string_view path) {
    const std::size_t len = detail::EncodeFileName(path, nullptr);
    if (len == detail::kNotEncodable) return nullptr;
    char* out = NarrowBuffer(len);
    detail::EncodeFileName(path, out);
    return out;
}

// A file name is absolute when its first ":\" lies after its first
// character (a drive path) or, on this platform, when it starts with '/'.
bool IsAbsolutePath(std::u16string_view name) {
    std::size_t drive = name.find(u":\\");
    if (drive != std::u16string_view::npos && drive > 0) return true;
    return !name.empty() && name[0] == u'/';
}

// Copies the part of `plane` that `m` covers to `to`, columns back to back
// as a record's block holds them: one block move when the host stores them
// so too.
void CopyPlane(const Qlt::MatVal& m, const Qlt::DoubleArray& plane, double* to) {
    detail::ForEachColumnRun(m, plane, [&to](const double* from, std::size_t count) {
        std::memcpy(to, from, count * sizeof(double));
        to += count;
    });
}

}  // namespace

void* Function::MarshalArg(Value* loc, int n, const Object& arg) {
    switch (m_args[static_cast<std::size_t>(n - 1)]) {
        case kArgScalar0:
        case kArgScalar: return MarshalScalar(loc, n, arg);
        case kArgMatrix: return MarshalMatrix(loc, n, arg);
        case kArgText: return MarshalText(loc, n, arg);
        case kArgFileIn:
        case kArgFileOut: return MarshalFileName(loc, n, arg);
        default: Throw("argument type not implemented", kNoArgument);
    }
}

void* Function::MarshalScalar(Value* loc, int n, const Object& arg) {
    const Qlt::NumVal* num = arg.as<Qlt::NumVal>();
    if (!num) Throw("must be scalar", static_cast<std::uint32_t>(n));
    loc->real = num->Data.rp;
    loc->imag = num->Data.ip;
    return loc;
}

void* Function::MarshalMatrix(Value* loc, int n, const Object& arg) {
    const Qlt::MatVal* m = arg.as<Qlt::MatVal>();
    if (!m) Throw("must be matrix", static_cast<std::uint32_t>(n));
    if (m->HasPtrs()) Throw("may not be nested", static_cast<std::uint32_t>(n));
    auto rows = static_cast<std::uint32_t>(m->Rows());
    auto cols = static_cast<std::uint32_t>(m->Cols());
    // The element block is one allocation of rows*cols doubles; a count the
    // allocator cannot express is refused before anything is taken.
    if (static_cast<std::uint64_t>(rows) * cols > UINT_MAX / sizeof(double)) Throw("out of memory", kNoArgument);
    bool imag = m->HasImag();
    // The copies below cover every element of each block (column c fills
    // rows doubles from c * rows), so the blocks are not cleared first.
    detail::AllocateComplexArray(&loc->array, rows, cols, 1, imag ? 1 : 0, true);
    if (cols == 0) return loc;
    CopyPlane(*m, m->m_rarr, loc->array.realCols[0]);
    if (imag) CopyPlane(*m, m->m_iarr, loc->array.imagCols[0]);
    return loc;
}

void* Function::MarshalText(Value* loc, int n, const Object& arg) {
    const Vrn::Run::String* s = arg.as<Vrn::Run::String>();
    if (!s) Throw("must be string", static_cast<std::uint32_t>(n));
    loc->text = NarrowCopy(s->str());
    return loc;
}

void* Function::MarshalFileName(Value* loc, int n, const Object& arg) {
    const Vrn::Run::String* s = arg.as<Vrn::Run::String>();
    if (!s) Throw("must be string", static_cast<std::uint32_t>(n));
    const std::u16string& name = s->str();
    if (IsAbsolutePath(name)) {
        loc->text = FileNameCopy(name);
    } else {
        const Object& dir = detail::t_callDirectory ? *detail::t_callDirectory : m_cwd;
        const Vrn::Run::String* cwd = dir.as<Vrn::Run::String>();
        if (!cwd) Throw("must be string", 0);
        loc->text = FileNameCopy(cwd->str() + name);
    }
    // A name no file can have here: blamed on the argument, or on the host's
    // directory (argument 0, as when it is missing) when the name alone encodes.
    if (!loc->text)
        Throw("invalid file name",
              detail::EncodeFileName(name, nullptr) == detail::kNotEncodable ? static_cast<std::uint32_t>(n) : 0);
    return loc->text;
}

Object Function::MarshalRet(Value* loc) {
    switch (m_ret) {
        case kRetScalar: return Vrn::Run::make<Qlt::NumVal>(loc->real, loc->imag);
        case kRetMatrix: return MatrixResult(loc);
        case kRetText: return Vrn::Run::Text(loc->text ? detail::DecodeNarrow(loc->text) : std::u16string());
        default: Throw("return type not implemented", kNoArgument);
    }
}

Object Function::MatrixResult(Value* loc) {
    ComplexArray& r = loc->array;
    detail::ReleaseHeldResult(r);
    // A shape the host cannot hold is the native function's fault; its
    // blocks are still released so nothing leaks.
    if (r.rows > static_cast<std::uint32_t>(INT_MAX) || r.cols > static_cast<std::uint32_t>(INT_MAX) ||
        static_cast<std::uint64_t>(r.rows) * r.cols > (std::uint64_t{1} << 40)) {
        detail::FreeResultPart(r.realCols, r.cols);
        detail::FreeResultPart(r.imagCols, r.cols);
        Throw("invalid matrix size", kNoArgument);
    }
    const std::size_t count = static_cast<std::size_t>(r.rows) * r.cols;
    Vrn::Run::Ref<Qlt::MatVal> m;
    try {
        // A part that will be copied in whole is not cleared first; a
        // missing real part stays zero.
        const bool copyReal = count > 0 && r.realCols;
        const bool copyImag = count > 0 && r.imagCols;
        Qlt::DoubleArray re = copyReal ? Qlt::DoubleArray::make_for_overwrite(count) : Qlt::DoubleArray::make(count);
        Qlt::DoubleArray im;
        if (r.imagCols) im = copyImag ? Qlt::DoubleArray::make_for_overwrite(count) : Qlt::DoubleArray::make(count);
        m = Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), static_cast<int>(r.rows),
                                        static_cast<int>(r.cols));
    } catch (...) {
        detail::FreeResultPart(r.realCols, r.cols);
        detail::FreeResultPart(r.imagCols, r.cols);
        throw;
    }
    const std::size_t bytes = count * sizeof(double);
    // An empty result has no block to read; what was given is still freed.
    if (bytes > 0 && r.realCols) std::memcpy(m->m_rarr.data(), r.realCols[0], bytes);
    detail::FreeResultPart(r.realCols, r.cols);
    if (bytes > 0 && r.imagCols) std::memcpy(m->m_iarr.data(), r.imagCols[0], bytes);
    detail::FreeResultPart(r.imagCols, r.cols);
    return m;
}

}  // namespace Efi::User
