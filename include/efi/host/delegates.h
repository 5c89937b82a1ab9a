// Host functions as plain numeric callables: evaluate a worksheet function
// at a double or complex point without making a host number per point.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <efi/export.h>
#include <efi/records.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

class Fdelegate;

/// A callable bound to one Fdelegate and one of its invoke operations. The
/// call is a member-pointer call: no type erasure, no allocation.
template <class R, class... A>
class BoundDelegate final {
public:
    using Method = R (Fdelegate::*)(A...);

    /// Evaluates the wrapped host function.
    R operator()(A... a) const { return ((*m_target).*m_method)(std::forward<A>(a)...); }
    /// The wrapper this callable is bound to.
    Fdelegate* Target() const noexcept { return m_target.get(); }

private:
    friend class Fdelegate;
    BoundDelegate(std::shared_ptr<Fdelegate> target, Method method) : m_target(std::move(target)), m_method(method) {}

    std::shared_ptr<Fdelegate> m_target;
    Method m_method;
};

/// (x) -> the host value of the function at x, whatever its kind.
using delegate_dbl_to_obj = BoundDelegate<Vrn::Run::Object, double>;
/// (x) -> the real part of the function's number at x.
using delegate_dbl_to_dbl = BoundDelegate<double, double>;
/// (result, arg): result = the function's number at the complex arg.
using delegate_cplx_to_cplx = BoundDelegate<void, qlComplex&, const qlComplex&>;
/// (result, x): result = the function's number at x.
using delegate_dbl_to_cplx = BoundDelegate<void, qlComplex&, double>;
/// Declared for the host's fitting code; the library never makes or calls one.
using genfit_delegate = std::function<const char*(double x, double*, double* y, double*)>;

/// One wrapped host function with its one argument number, rewritten in
/// place at every call. Made only by the four factories; every factory call
/// makes its own, so two delegates never share an argument.
class EFI_API Fdelegate {
public:
    /// The function as (x) -> host value.
    static delegate_dbl_to_obj dbl_to_obj(Vrn::Run::Object f);
    /// The function as (x) -> double; "argument function error" (argument 1)
    /// when its value is not a number; an imaginary part is dropped.
    static delegate_dbl_to_dbl dbl_to_dbl(Vrn::Run::Object f);
    /// The function as (result, complex arg); same error.
    static delegate_cplx_to_cplx cplx_to_cplx(Vrn::Run::Object f);
    /// The function as (result, x); same error.
    static delegate_dbl_to_cplx dbl_to_cplx(Vrn::Run::Object f);

    /// The argument object every call hands to the host function.
    const Vrn::Run::Object& Argument() const noexcept { return m_arg; }

private:
    explicit Fdelegate(Vrn::Run::Object f);

    Vrn::Run::Object invoke_dbl_to_obj(double v);
    double invoke_dbl_to_dbl(double v);
    void invoke_cplx_to_cplx(qlComplex& res, const qlComplex& v);
    void invoke_dbl_to_cplx(qlComplex& res, double v);
    /// Evaluates m_f at m_arg and requires a number.
    qlComplex EvaluateNumber();

    Vrn::Run::Object m_f;    ///< the wrapped host function
    Vrn::Run::Object m_arg;  ///< the one argument object (a Qlt::NumVal)
    Qlt::NumVal* m_point;    ///< m_arg's number, written in place
};

}  // namespace Efi
