// Host values: reference-counted handles to values the host runtime owns.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include <vrnrun/export.h>

namespace Vrn::Run {

/// Base of every value the host keeps behind a handle. The kind is fixed at
/// construction, so a handle can be asked what it holds without RTTI.
class VRN_API HostValue {
public:
    enum class Kind : std::uint8_t { Number, Matrix, Text, Function, Other };

    Kind kind() const noexcept { return m_kind; }

    void retain() const noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void release() const noexcept {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    std::uint32_t use_count() const noexcept { return m_refs.load(std::memory_order_relaxed); }

    HostValue(const HostValue&) = delete;
    HostValue& operator=(const HostValue&) = delete;

protected:
    explicit HostValue(Kind k) noexcept : m_kind(k) {}
    virtual ~HostValue();

private:
    mutable std::atomic<std::uint32_t> m_refs{0};
    Kind m_kind;
};

/// Intrusive handle to a host value of static type T. A null handle is the
/// host's null. Copying shares the value; it never copies it.
template <class T>
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    /// Adopts a freshly made value (or shares an existing one).
    explicit Ref(T* p) noexcept : m_p(p) {
        if (m_p) m_p->retain();
    }
    Ref(const Ref& o) noexcept : m_p(o.m_p) {
        if (m_p) m_p->retain();
    }
    Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& o) noexcept : m_p(o.get()) {
        if (m_p) m_p->retain();
    }
    template <class U>
    Ref(Ref<U>&& o) noexcept : m_p(o.detach()) {}
    ~Ref() {
        if (m_p) m_p->release();
    }

    Ref& operator=(Ref o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    bool is_null() const noexcept { return m_p == nullptr; }

    /// The value as U when it is of U's kind, else null. U names its kind in
    /// `U::kKind`.
    template <class U>
    U* as() const noexcept {
        return (m_p && m_p->kind() == U::kKind) ? static_cast<U*>(static_cast<HostValue*>(m_p)) : nullptr;
    }
    template <class U>
    bool is() const noexcept {
        return as<U>() != nullptr;
    }
    /// A handle of static type U sharing the value, or null when the kind differs.
    template <class U>
    Ref<U> cast() const noexcept {
        return Ref<U>(as<U>());
    }

    /// Gives up ownership without releasing (for handle conversions).
    T* detach() noexcept { return std::exchange(m_p, nullptr); }

    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.m_p == b.m_p; }

private:
    T* m_p = nullptr;
};

/// Throws std::bad_alloc where a test's fault plan makes this allocation
/// fail, as an exhausted heap would; asked before every host value and every
/// host array of doubles is made. The shipped runtime has no fault plan and
/// returns at once; the test build (vrnrun_testing) consults the hook of
/// "src/alloc_fault_hook.h".
VRN_API void CheckAllocFault();

/// Makes a host value and returns the first handle to it.
template <class T, class... A>
Ref<T> make(A&&... a) {
    CheckAllocFault();
    return Ref<T>(new T(std::forward<A>(a)...));
}

/// An untyped host value ("object"): number, matrix, text, function or null.
using Object = Ref<HostValue>;

}  // namespace Vrn::Run
