// Fault injection: fail the n-th allocation of a stretch of code, counting
// the call allocator's heap blocks and the host's arrays and values alike.
#pragma once

#include <cstddef>
#include <cstdlib>

#include <vrnrun/vrnrun.h>

#include "src/alloc_fault_hook.h"
#include "values/alloc_hook.h"

namespace efitest {

/// While alive, allocation number `failAt` (from 1) fails as an exhausted
/// heap would; 0 fails none and only counts. One plan at a time.
class FaultPlan {
public:
    explicit FaultPlan(int failAt) : m_savedBlock(Efi::detail::g_block_alloc), m_savedHost(Vrn::Run::g_alloc_fault) {
        s_seen = 0;
        s_failAt = failAt;
        s_fired = false;
        Efi::detail::g_block_alloc = &Block;
        Vrn::Run::g_alloc_fault = &Host;
    }
    ~FaultPlan() {
        Efi::detail::g_block_alloc = m_savedBlock;
        Vrn::Run::g_alloc_fault = m_savedHost;
    }
    FaultPlan(const FaultPlan&) = delete;
    FaultPlan& operator=(const FaultPlan&) = delete;

    /// Allocations asked for so far.
    static int seen() { return s_seen; }
    /// True once the chosen allocation has been refused.
    static bool fired() { return s_fired; }

private:
    static bool Refuse() {
        if (++s_seen != s_failAt) return false;
        s_fired = true;
        return true;
    }
    static void* Block(std::size_t bytes) { return Refuse() ? nullptr : std::malloc(bytes); }
    static bool Host() { return Refuse(); }

    static inline int s_seen = 0;
    static inline int s_failAt = 0;
    static inline bool s_fired = false;
    Efi::detail::BlockAllocFn m_savedBlock;
    Vrn::Run::AllocFaultHook m_savedHost;
};

}  // namespace efitest
