// Host-function delegates: the bridge in the other direction.
#include <efi/host/delegates.h>

#include "bridge/native_failure.h"

namespace Efi {

Fdelegate::Fdelegate(Vrn::Run::Object f) : m_f(std::move(f)) {
    auto arg = Vrn::Run::make<Qlt::NumVal>();
    m_point = arg.get();
    m_arg = std::move(arg);
}

delegate_dbl_to_obj Fdelegate::dbl_to_obj(Vrn::Run::Object f) {
    return {std::shared_ptr<Fdelegate>(new Fdelegate(std::move(f))), &Fdelegate::invoke_dbl_to_obj};
}

delegate_dbl_to_dbl Fdelegate::dbl_to_dbl(Vrn::Run::Object f) {
    return {std::shared_ptr<Fdelegate>(new Fdelegate(std::move(f))), &Fdelegate::invoke_dbl_to_dbl};
}

delegate_cplx_to_cplx Fdelegate::cplx_to_cplx(Vrn::Run::Object f) {
    return {std::shared_ptr<Fdelegate>(new Fdelegate(std::move(f))), &Fdelegate::invoke_cplx_to_cplx};
}

delegate_dbl_to_cplx Fdelegate::dbl_to_cplx(Vrn::Run::Object f) {
    return {std::shared_ptr<Fdelegate>(new Fdelegate(std::move(f))), &Fdelegate::invoke_dbl_to_cplx};
}

qlComplex Fdelegate::EvaluateNumber() {
    Vrn::Run::Object value = detail::AsHostCode([this] { return Vrn::Invoke::Call(m_f, m_arg); });
    const Qlt::NumVal* num = value.as<Qlt::NumVal>();
    if (!num) Vrn::Run::AppException::Raise(u"argument function error", 1);
    return {num->Data.rp, num->Data.ip};
}

Vrn::Run::Object Fdelegate::invoke_dbl_to_obj(double v) {
    // Only the real part is written: the host function sees the imaginary
    // part the default number left, 0.
    m_point->Data.rp = v;
    return detail::AsHostCode([this] { return Vrn::Invoke::Call(m_f, m_arg); });
}

double Fdelegate::invoke_dbl_to_dbl(double v) {
    m_point->Data.rp = v;
    return EvaluateNumber().real;
}

void Fdelegate::invoke_cplx_to_cplx(qlComplex& res, const qlComplex& v) {
    m_point->Data.rp = v.real;
    m_point->Data.ip = v.imag;
    res = EvaluateNumber();
}

void Fdelegate::invoke_dbl_to_cplx(qlComplex& res, double v) {
    m_point->Data.rp = v;
    res = EvaluateNumber();
}

}  // namespace Efi
