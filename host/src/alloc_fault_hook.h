// Fault injection for tests, in the test build of the runtime
// (vrnrun_testing, compiled with VRN_TESTING) only.
#pragma once

#include <vrnrun/export.h>

namespace Vrn::Run {

/// Asked by CheckAllocFault before every host value and every host array of
/// doubles is made; an answer of true makes that allocation fail with
/// std::bad_alloc. Null unless a test set it.
using AllocFaultHook = bool (*)();
VRN_API extern AllocFaultHook g_alloc_fault;

}  // namespace Vrn::Run
