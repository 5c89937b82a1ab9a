// Message bodies: see codec.h.
#include "bridge/isolation/codec.h"

#include <efi/module.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "bridge/description_rules.h"
#include "values/matrix_plane.h"

namespace Efi::detail::wire {

namespace {

enum class Tag : std::uint8_t { Null = 0, Number, Matrix, Text, Function, Other };

// What the worker hands the bridge for a host value of a kind that does not
// cross (a function, an opaque value): the bridge refuses either by kind
// alone, so a stand-in of the same kind gets the same error.
class StandIn final : public Vrn::Run::HostValue {
public:
    StandIn() noexcept : HostValue(Kind::Other) {}
};

Vrn::Run::Object FunctionStandIn() {
    return Vrn::Run::Func(1, [](std::span<const Vrn::Run::Object>) -> Vrn::Run::Object {
        Vrn::Run::AppException::Raise(u"must be a function", 1);
    });
}

// Writes the part of a plane the matrix covers, columns back to back.
void Plane(Writer& w, const Qlt::MatVal& m, const Qlt::DoubleArray& plane) {
    ForEachColumnRun(m, plane, [&w](const double* run, std::size_t count) { w.Bytes(run, count * sizeof(double)); });
}

void Matrix(Writer& w, const Qlt::MatVal& m) {
    w.Put<std::int32_t>(m.Rows());
    w.Put<std::int32_t>(m.Cols());
    w.Put<std::uint8_t>(m.HasImag() ? 1 : 0);
    if (m.Rows() > 0 && m.Cols() > 0) {
        Plane(w, m, m.m_rarr);
        if (m.HasImag()) Plane(w, m, m.m_iarr);
    }
    std::uint32_t nested = 0;
    if (m.HasPtrs()) m.IteratePtrs([&](int, int, const Vrn::Run::Object&) { ++nested; });
    w.Put(nested);
    if (nested)
        m.IteratePtrs([&](int row, int col, const Vrn::Run::Object& e) {
            w.Put<std::int32_t>(row);
            w.Put<std::int32_t>(col);
            w.Value(e);
        });
}

// The fewest bytes one nested element takes: its row, column and tag.
constexpr std::size_t kLeastNested = 2 * sizeof(std::int32_t) + 1;

Vrn::Run::Object ReadMatrix(Reader& r, unsigned depth) {
    const auto rows = r.Get<std::int32_t>();
    const auto cols = r.Get<std::int32_t>();
    const auto imag = r.Get<std::uint8_t>();
    if (rows < 0 || cols < 0 || imag > 1) throw MalformedMessage{};
    // A matrix's elements are indexed by int; each plane's bytes must be
    // there before the planes are made.
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (count > INT_MAX) throw MalformedMessage{};
    r.Need(count * sizeof(double) * (imag ? 2 : 1));
    Qlt::DoubleArray re = Qlt::DoubleArray::make_for_overwrite(count), im;
    if (imag) im = Qlt::DoubleArray::make_for_overwrite(count);
    if (count) {
        r.Bytes(re.data(), count * sizeof(double));
        if (imag) r.Bytes(im.data(), count * sizeof(double));
    }
    auto m = Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), rows, cols);
    const auto nested = r.Get<std::uint32_t>();
    if (nested > count) throw MalformedMessage{};
    r.Need(nested * kLeastNested);
    for (std::uint32_t k = 0; k < nested; ++k) {
        const auto row = r.Get<std::int32_t>();
        const auto col = r.Get<std::int32_t>();
        if (row < 0 || col < 0 || row >= rows || col >= cols) throw MalformedMessage{};
        m->SetNested(row, col, r.Value(depth + 1));
    }
    return m;
}

// The fewest bytes one table entry takes: an empty name and text, no
// argument codes, and an empty description (its flags, two empty texts and
// two counts of nothing).
constexpr std::size_t kLeastEntry = 2 * sizeof(std::uint64_t) + 3 * sizeof(std::int32_t) + sizeof(std::uint32_t) +
                                    sizeof(std::uint8_t) + 2 * sizeof(std::uint64_t) + 2 * sizeof(std::uint32_t);

// A description's flags as they cross: one bit each.
constexpr std::uint8_t kMasked = 1, kThreadSafe = 2;

// A text of a description: at most `bound` bytes of UTF-8, and one line
// when `oneLine`.
std::string DescriptionText(Reader& r, std::size_t bound, bool oneLine) {
    std::string s = r.Utf8(bound);
    if (!IsValidUtf8(s) || (oneLine && !IsOneLine(s))) throw MalformedMessage{};
    return s;
}

void WriteDescription(Writer& w, const FunctionDescription& d) {
    w.Put<std::uint8_t>((d.masked ? kMasked : 0) | (d.threadSafe ? kThreadSafe : 0));
    w.Utf8(d.summary);
    w.Utf8(d.help);
    w.Put(static_cast<std::uint32_t>(d.params.size()));
    for (std::size_t k = 0; k < d.params.size(); ++k) {
        w.Utf8(d.params[k]);
        w.Utf8(k < d.paramHelp.size() ? d.paramHelp[k] : std::string_view());
    }
    w.Put(static_cast<std::uint32_t>(d.messages.size()));
    for (const std::string& m : d.messages) w.Utf8(m);
}

// The description of a function of `args` arguments. Its messages are the
// module's own bytes, as the loader keeps them, bounded only by the body.
FunctionDescription ReadDescription(Reader& r, std::size_t args) {
    FunctionDescription d;
    const auto flags = r.Get<std::uint8_t>();
    if (flags & ~(kMasked | kThreadSafe)) throw MalformedMessage{};
    d.masked = (flags & kMasked) != 0;
    d.threadSafe = (flags & kThreadSafe) != 0;
    d.summary = DescriptionText(r, EFI_MODULE_MAX_SUMMARY, true);
    d.help = DescriptionText(r, EFI_MODULE_MAX_HELP, false);
    const auto params = r.Get<std::uint32_t>();
    if (params != 0 && params != args) throw MalformedMessage{};
    for (std::uint32_t k = 0; k < params; ++k) {
        std::string name = r.Utf8(EFI_MODULE_MAX_PARAM_NAME);
        if (!IsParameterName(name) || std::find(d.params.begin(), d.params.end(), name) != d.params.end())
            throw MalformedMessage{};
        d.params.push_back(std::move(name));
        d.paramHelp.push_back(DescriptionText(r, EFI_MODULE_MAX_HELP, false));
    }
    const auto messages = r.Get<std::uint32_t>();
    if (messages > EFI_MODULE_MAX_MESSAGES) throw MalformedMessage{};
    r.Need(messages * sizeof(std::uint64_t));
    d.messages.reserve(messages);
    for (std::uint32_t k = 0; k < messages; ++k) d.messages.push_back(r.Utf8());
    return d;
}

}  // namespace

void Writer::Bytes(const void* p, std::size_t n) {
    if (m_out && n) std::memcpy(m_out + m_size, p, n);
    m_size += n;
}

void Writer::Utf8(std::string_view s) {
    Put<std::uint64_t>(s.size());
    Bytes(s.data(), s.size());
}

void Writer::Utf16(std::u16string_view s) {
    Put<std::uint64_t>(s.size());
    Bytes(s.data(), s.size() * sizeof(char16_t));
}

void Writer::Value(const Vrn::Run::Object& v) {
    if (!v) return Put(Tag::Null);
    if (const auto* n = v.as<Qlt::NumVal>()) {
        Put(Tag::Number);
        Put(n->Data.rp);
        Put(n->Data.ip);
    } else if (const auto* m = v.as<Qlt::MatVal>()) {
        Put(Tag::Matrix);
        Matrix(*this, *m);
    } else if (const auto* s = v.as<Vrn::Run::String>()) {
        Put(Tag::Text);
        Utf16(s->str());
    } else {
        Put(v.as<Vrn::Run::Function>() ? Tag::Function : Tag::Other);
    }
}

void Reader::Need(std::size_t n) const {
    if (n > Left()) throw MalformedMessage{};
}

void Reader::Done() const {
    if (Left() != 0) throw MalformedMessage{};
}

void Reader::Bytes(void* p, std::size_t n) {
    Need(n);
    if (n) std::memcpy(p, m_body.data() + m_at, n);
    m_at += n;
}

std::string Reader::Utf8(std::size_t most) {
    const auto n = Get<std::uint64_t>();
    if (n > most) throw MalformedMessage{};
    Need(n);
    std::string s(m_body.data() + m_at, n);
    m_at += n;
    return s;
}

std::u16string Reader::Utf16() {
    const auto n = Get<std::uint64_t>();
    if (n > Left() / sizeof(char16_t)) throw MalformedMessage{};
    std::u16string s(n, u'\0');
    Bytes(s.data(), n * sizeof(char16_t));
    return s;
}

Vrn::Run::Object Reader::Value(unsigned depth) {
    switch (Get<Tag>()) {
        case Tag::Null: return nullptr;
        case Tag::Number: {
            const auto re = Get<double>();
            return Vrn::Run::make<Qlt::NumVal>(re, Get<double>());
        }
        case Tag::Matrix:
            if (depth >= kMaxNesting) throw MalformedMessage{};
            return ReadMatrix(*this, depth);
        case Tag::Text: return Vrn::Run::Text(Utf16());
        case Tag::Function: return FunctionStandIn();
        case Tag::Other: return Vrn::Run::make<StandIn>();
    }
    throw MalformedMessage{};
}

std::vector<TableEntry> ReadTable(Reader& r) {
    const auto count = r.Get<std::uint32_t>();
    if (count > EFI_MODULE_MAX_FUNCTIONS) throw MalformedMessage{};
    r.Need(count * kLeastEntry);
    std::vector<TableEntry> table(count);
    for (TableEntry& e : table) {
        e.name = r.Utf8(EFI_MODULE_MAX_NAME);
        if (e.name.empty()) throw MalformedMessage{};
        e.ret = r.Get<std::int32_t>();
        const auto args = r.Get<std::uint32_t>();
        if (args > EFI_MODULE_MAX_ARGS) throw MalformedMessage{};
        r.Need(args * sizeof(std::int32_t));
        e.args.resize(args);
        for (std::int32_t& a : e.args) a = r.Get<std::int32_t>();
        e.arity = r.Get<std::int32_t>();
        e.neverCallable = r.Utf8();
        e.description = ReadDescription(r, e.args.size());
    }
    return table;
}

void WriteTable(Writer& w, std::span<const ModuleFunction> functions) {
    w.Put(static_cast<std::uint32_t>(functions.size()));
    for (const ModuleFunction& f : functions) {
        w.Utf8(f.name);
        w.Put(f.ret);
        w.Put(static_cast<std::uint32_t>(f.args.size()));
        for (std::int32_t a : f.args) w.Put(a);
        w.Put(static_cast<std::int32_t>(f.function.as<Vrn::Run::Function>()->Arity()));
        w.Utf8(f.never_callable);
        WriteDescription(w, f.description);
    }
}

}  // namespace Efi::detail::wire
