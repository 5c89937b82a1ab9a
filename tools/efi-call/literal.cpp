// Reading and writing worksheet literals.
#include "literal.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace efi_call {

namespace {

struct Complex {
    double re = 0.0;
    double im = 0.0;
};

class Reader {
public:
    explicit Reader(std::string_view s) : m_s(s) {}

    Vrn::Run::Object Literal() {
        SkipBlanks();
        Vrn::Run::Object v;
        if (AtEnd()) Fail("expected a number, text or matrix");
        if (Peek() == '"') v = Text();
        else if (Peek() == '[') v = Matrix();
        else {
            Complex c = Number();
            v = Vrn::Run::Number(c.re, c.im);
        }
        SkipBlanks();
        if (!AtEnd()) Fail("unexpected '" + std::string(1, Peek()) + "' after the value");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const { throw LiteralError(m_pos + 1, what); }
    bool AtEnd() const { return m_pos >= m_s.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_s[m_pos]; }
    void SkipBlanks() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++m_pos;
    }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    // One unsigned real: digits[.digits][e[+-]digits], .digits..., inf, nan.
    // Returns false (consuming nothing) when none starts here.
    bool UnsignedReal(double& out) {
        std::size_t start = m_pos;
        for (std::string_view word : {"inf", "nan"}) {
            if (m_s.substr(m_pos, 3) == word) {
                m_pos += 3;
                out = word == "inf" ? HUGE_VAL : std::nan("");
                return true;
            }
        }
        std::size_t p = m_pos;
        std::size_t digits = 0;
        while (p < m_s.size() && IsDigit(m_s[p])) ++p, ++digits;
        if (p < m_s.size() && m_s[p] == '.') {
            ++p;
            while (p < m_s.size() && IsDigit(m_s[p])) ++p, ++digits;
        }
        if (digits == 0) return false;
        if (p < m_s.size() && (m_s[p] == 'e' || m_s[p] == 'E')) {
            std::size_t q = p + 1;
            if (q < m_s.size() && (m_s[q] == '+' || m_s[q] == '-')) ++q;
            if (q >= m_s.size() || !IsDigit(m_s[q])) {
                m_pos = q;
                Fail("expected digits of the exponent");
            }
            while (q < m_s.size() && IsDigit(m_s[q])) ++q;
            p = q;
        }
        auto [end, ec] = std::from_chars(m_s.data() + start, m_s.data() + p, out);
        if (ec == std::errc::result_out_of_range) {
            // Underflow to zero is a fine reading; overflow is not.
            double probe = 0.0;
            std::string lexeme(m_s.substr(start, p - start));
            probe = std::strtod(lexeme.c_str(), nullptr);
            if (std::isinf(probe)) Fail("number out of range");
            out = probe;
        } else if (ec != std::errc() || end != m_s.data() + p) {
            Fail("malformed number");
        }
        m_pos = p;
        return true;
    }

    // sign? (real | real? 'i'); a complex is real followed by sign imag.
    Complex Number() {
        Complex c;
        double sign = 1.0;
        if (Peek() == '+' || Peek() == '-') sign = m_s[m_pos++] == '-' ? -1.0 : 1.0;
        double v = 1.0;
        bool haveReal = UnsignedReal(v);
        if (Peek() == 'i') {
            ++m_pos;
            c.im = sign * v;
            return c;
        }
        if (!haveReal) Fail("expected a number, text or matrix");
        c.re = sign * v;
        if (Peek() == '+' || Peek() == '-') {
            double isign = m_s[m_pos++] == '-' ? -1.0 : 1.0;
            double w = 1.0;
            UnsignedReal(w);
            if (Peek() != 'i') Fail("expected 'i' after the imaginary part");
            ++m_pos;
            c.im = isign * w;
        }
        return c;
    }

    unsigned Hex4() {
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = Peek();
            unsigned d;
            if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
            else Fail("expected four hex digits after \\u");
            v = v * 16 + d;
            ++m_pos;
        }
        return v;
    }

    Vrn::Run::Object Text() {
        ++m_pos;  // opening quote
        std::u16string out;
        std::string run;  // UTF-8 bytes since the last escape
        auto flush = [&] {
            out += Vrn::Run::FromUtf8(run);
            run.clear();
        };
        for (;;) {
            if (AtEnd()) Fail("text not closed with '\"'");
            char c = m_s[m_pos];
            if (c == '"') break;
            if (c != '\\') {
                run += c;
                ++m_pos;
                continue;
            }
            flush();
            ++m_pos;
            if (AtEnd()) Fail("text not closed with '\"'");
            char e = m_s[m_pos++];
            switch (e) {
                case '"': out += u'"'; break;
                case '\\': out += u'\\'; break;
                case 'n': out += u'\n'; break;
                case 't': out += u'\t'; break;
                case 'r': out += u'\r'; break;
                case '0': out += u'\0'; break;
                case 'u': out += static_cast<char16_t>(Hex4()); break;
                default: --m_pos; Fail(std::string("unknown escape \\") + e);
            }
        }
        flush();
        ++m_pos;  // closing quote
        return Vrn::Run::Text(std::move(out));
    }

    Vrn::Run::Object Matrix() {
        ++m_pos;  // '['
        std::vector<std::vector<Complex>> rows;
        SkipBlanks();
        if (Peek() == ']') {
            ++m_pos;
            return Vrn::Run::Matrix(0, 0, {});
        }
        rows.emplace_back();
        for (;;) {
            SkipBlanks();
            if (AtEnd()) Fail("matrix not closed with ']'");
            if (Peek() == '[' || Peek() == '"') Fail("matrix elements must be numbers");
            rows.back().push_back(Number());
            SkipBlanks();
            char c = Peek();
            if (c == ',') {
                ++m_pos;
            } else if (c == ';' || c == ']') {
                if (rows.size() > 1 && rows.back().size() != rows.front().size())
                    Fail("row " + std::to_string(rows.size()) + " has " + std::to_string(rows.back().size()) +
                         " elements, row 1 has " + std::to_string(rows.front().size()));
                ++m_pos;
                if (c == ']') break;
                rows.emplace_back();
            } else if (AtEnd()) {
                Fail("matrix not closed with ']'");
            } else {
                Fail("expected ',', ';' or ']'");
            }
        }
        const std::size_t nr = rows.size(), nc = rows.front().size();
        std::vector<double> re(nr * nc), im(nr * nc);
        bool complex = false;
        for (std::size_t r = 0; r < nr; ++r) {
            for (std::size_t c = 0; c < nc; ++c) {
                re[r + c * nr] = rows[r][c].re;
                im[r + c * nr] = rows[r][c].im;
                complex = complex || rows[r][c].im != 0.0;
            }
        }
        return Vrn::Run::Matrix(static_cast<int>(nr), static_cast<int>(nc), re,
                                complex ? std::span<const double>(im) : std::span<const double>());
    }

    std::string_view m_s;
    std::size_t m_pos = 0;
};

std::string FormatComplex(double re, double im) {
    if (im == 0.0 && !std::isnan(im)) return FormatReal(re);
    std::string imag = FormatReal(im) + "i";
    if (re == 0.0 && !std::signbit(re)) return imag;
    if (imag[0] != '-') imag = "+" + imag;
    return FormatReal(re) + imag;
}

std::string FormatText(std::u16string_view s) {
    std::string out = "\"";
    std::u16string plain;
    auto flush = [&] {
        out += Vrn::Run::ToUtf8(plain);
        plain.clear();
    };
    for (char16_t c : s) {
        const char* esc = nullptr;
        switch (c) {
            case u'"': esc = "\\\""; break;
            case u'\\': esc = "\\\\"; break;
            case u'\n': esc = "\\n"; break;
            case u'\t': esc = "\\t"; break;
            case u'\r': esc = "\\r"; break;
            case u'\0': esc = "\\0"; break;
            default: break;
        }
        if (esc) {
            flush();
            out += esc;
        } else if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c < 0xE000)) {
            // Control characters and surrogates print as \u escapes, so the
            // output reads back to the same text. (A valid surrogate pair
            // could print as UTF-8, but the escape is never wrong.)
            flush();
            char buf[8];
            static const char kHex[] = "0123456789abcdef";
            buf[0] = '\\';
            buf[1] = 'u';
            for (int k = 0; k < 4; ++k) buf[2 + k] = kHex[(c >> (12 - 4 * k)) & 0xF];
            out.append(buf, 6);
        } else {
            plain += c;
        }
    }
    flush();
    return out + "\"";
}

}  // namespace

Vrn::Run::Object ParseLiteral(std::string_view text) { return Reader(text).Literal(); }

std::string FormatReal(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, end);
}

std::string FormatValue(const Vrn::Run::Object& value) {
    if (!value) return "null";
    if (const auto* n = value.as<Qlt::NumVal>()) return FormatComplex(n->Data.rp, n->Data.ip);
    if (const auto* s = value.as<Vrn::Run::String>()) return FormatText(s->str());
    if (const auto* m = value.as<Qlt::MatVal>()) {
        if (m->Rows() == 0 || m->Cols() == 0) return "[]";
        std::string out = "[";
        for (int r = 0; r < m->Rows(); ++r) {
            if (r > 0) out += "; ";
            for (int c = 0; c < m->Cols(); ++c) {
                if (c > 0) out += ", ";
                Vrn::Run::Object nested = m->Nested(r, c);
                out += nested ? FormatValue(nested) : FormatComplex(m->re(r, c), m->im(r, c));
            }
        }
        return out + "]";
    }
    if (value.is<Vrn::Run::Function>()) return "<function>";
    return "<value>";
}

}  // namespace efi_call
