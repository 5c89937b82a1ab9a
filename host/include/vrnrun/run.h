// The host runtime: text, functions, calls and application errors.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include <vrnrun/object.h>
#include <vrnrun/qlt.h>

namespace Vrn::Run {

/// Host text: UTF-16 code units.
class VRN_API String final : public HostValue {
public:
    static constexpr Kind kKind = Kind::Text;
    explicit String(std::u16string s) : HostValue(kKind), m_s(std::move(s)) {}
    const std::u16string& str() const noexcept { return m_s; }

private:
    std::u16string m_s;
};

/// A host worksheet function value.
class VRN_API Function : public HostValue {
public:
    static constexpr Kind kKind = Kind::Function;
    /// Evaluates the function; args.size() is the number of host arguments.
    virtual Object Call(std::span<const Object> args) const = 0;
    virtual int Arity() const noexcept = 0;

protected:
    Function() noexcept : HostValue(kKind) {}
};

/// Entry point of a bound method: runs it on `target` with `arity` arguments.
using EntryPoint = Object (*)(HostValue& target, const Object* args);

/// A host function object bound to a method of a target object.
class VRN_API CloObjFunction final : public Function {
public:
    /// `method` names the bound method (its identity); `target` is kept alive
    /// as long as this function object.
    CloObjFunction(EntryPoint entry, int arity, const char* method, Object target);

    /// Raises "too many parameters" / "too few parameters" (argument −1) when
    /// the count differs from the arity.
    Object Call(std::span<const Object> args) const override;
    int Arity() const noexcept override { return m_arity; }
    const char* Method() const noexcept { return m_method; }
    const Object& Target() const noexcept { return m_target; }
    EntryPoint Entry() const noexcept { return m_entry; }

private:
    EntryPoint m_entry;
    int m_arity;
    const char* m_method;
    Object m_target;
};

/// A host function written in C++ (the worksheet's own built-ins, tests).
class VRN_API LambdaFunction final : public Function {
public:
    using Body = std::function<Object(std::span<const Object>)>;
    LambdaFunction(int arity, Body body) : m_arity(arity), m_body(std::move(body)) {}
    Object Call(std::span<const Object> args) const override;
    int Arity() const noexcept override { return m_arity; }

private:
    int m_arity;
    Body m_body;
};

/// The host's application error: a message and the 1-based number of the
/// argument to mark (0 or 4294967295 when none).
class VRN_API AppException : public std::exception {
public:
    AppException(std::u16string message, std::uint32_t argument);
    const std::u16string& Message() const noexcept { return m_message; }
    std::uint32_t Argument() const noexcept { return m_argument; }
    /// The message in UTF-8.
    const char* what() const noexcept override { return m_utf8.c_str(); }

    /// Raises the application error. Never returns.
    [[noreturn]] static void Raise(std::u16string_view message, std::uint32_t argument);

private:
    std::u16string m_message;
    std::string m_utf8;
    std::uint32_t m_argument;
};

// Making and reading values without casts at every use.
VRN_API Object Number(double re, double im = 0.0);
VRN_API Object Text(std::u16string s);
/// Text from UTF-8 (invalid bytes become U+FFFD).
VRN_API Object TextUtf8(std::string_view s);
VRN_API std::string ToUtf8(std::u16string_view s);
VRN_API std::u16string FromUtf8(std::string_view s);
/// A real or complex rows x cols matrix from column-ordered values.
VRN_API Object Matrix(int rows, int cols, std::span<const double> re, std::span<const double> im = {});
VRN_API Object Func(int arity, LambdaFunction::Body body);

}  // namespace Vrn::Run

namespace Vrn::Invoke {
/// Evaluates host function f at one argument. Raises "must be a function"
/// (argument 1) when f is not a function.
VRN_API Vrn::Run::Object Call(const Vrn::Run::Object& f, const Vrn::Run::Object& arg);
}  // namespace Vrn::Invoke
