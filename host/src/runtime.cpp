#include <cstring>

#include <vrnrun/vrnrun.h>

namespace Vrn::Run {

CloObjFunction::CloObjFunction(EntryPoint entry, int arity, const char* method, Object target)
    : m_entry(entry), m_arity(arity), m_method(method), m_target(std::move(target)) {}

Object CloObjFunction::Call(std::span<const Object> args) const {
    if (args.size() > static_cast<std::size_t>(m_arity)) AppException::Raise(u"too many parameters", 0xFFFFFFFFu);
    if (args.size() < static_cast<std::size_t>(m_arity)) AppException::Raise(u"too few parameters", 0xFFFFFFFFu);
    return m_entry(*m_target, args.data());
}

Object LambdaFunction::Call(std::span<const Object> args) const {
    if (args.size() > static_cast<std::size_t>(m_arity)) AppException::Raise(u"too many parameters", 0xFFFFFFFFu);
    if (args.size() < static_cast<std::size_t>(m_arity)) AppException::Raise(u"too few parameters", 0xFFFFFFFFu);
    return m_body(args);
}

AppException::AppException(std::u16string message, std::uint32_t argument)
    : m_message(std::move(message)), m_utf8(ToUtf8(m_message)), m_argument(argument) {}

void AppException::Raise(std::u16string_view message, std::uint32_t argument) {
    throw AppException(std::u16string(message), argument);
}

Object Number(double re, double im) { return make<Qlt::NumVal>(re, im); }

Object Text(std::u16string s) { return make<String>(std::move(s)); }

Object TextUtf8(std::string_view s) { return Text(FromUtf8(s)); }

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    for (std::size_t i = 0; i < s.size();) {
        unsigned char b = byte(i);
        char32_t c = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            bool ok = i + len <= s.size();
            char32_t v = b & (0x7F >> len);
            for (std::size_t k = 1; ok && k < len; ++k) {
                if ((byte(i + k) & 0xC0) != 0x80) ok = false;
                else v = (v << 6) | (byte(i + k) & 0x3F);
            }
            static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && v >= kMin[len] && v <= 0x10FFFF && !(v >= 0xD800 && v < 0xE000)) {
                c = v;
            } else {
                len = 1;
            }
        }
        i += len;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

Object Matrix(int rows, int cols, std::span<const double> re, std::span<const double> im) {
    auto m = make<Qlt::MatVal>(rows, cols, !im.empty());
    std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (!re.empty()) std::memcpy(m->m_rarr.data(), re.data(), sizeof(double) * std::min(n, re.size()));
    if (!im.empty()) std::memcpy(m->m_iarr.data(), im.data(), sizeof(double) * std::min(n, im.size()));
    return m;
}

Object Func(int arity, LambdaFunction::Body body) { return make<LambdaFunction>(arity, std::move(body)); }

}  // namespace Vrn::Run

namespace Vrn::Invoke {

Vrn::Run::Object Call(const Vrn::Run::Object& f, const Vrn::Run::Object& arg) {
    auto* fn = f.as<Vrn::Run::Function>();
    if (!fn) Vrn::Run::AppException::Raise(u"must be a function", 1);
    return fn->Call(std::span<const Vrn::Run::Object>(&arg, 1));
}

}  // namespace Vrn::Invoke
