// The stand-in for the component system: one registered class, replaceable.
#include <cstring>

#include "curl_transfer.h"

namespace Vrn::Transfer {

ITransfer::~ITransfer() = default;
IComponent::~IComponent() = default;

namespace {

HResult BuiltInFactory(const char* clsid, std::unique_ptr<IComponent>& out) {
    out.reset();
    if (clsid == nullptr) return kPointer;
    if (std::strcmp(clsid, kClassId) != 0) return kClassNotRegistered;
    out = std::make_unique<detail::CurlComponent>();
    return kOk;
}

Factory g_factory = &BuiltInFactory;

}  // namespace

HResult CreateInstance(const char* clsid, std::unique_ptr<IComponent>& out) { return g_factory(clsid, out); }

Factory SetFactory(Factory factory) noexcept {
    Factory previous = g_factory;
    g_factory = factory != nullptr ? factory : &BuiltInFactory;
    return previous;
}

}  // namespace Vrn::Transfer
