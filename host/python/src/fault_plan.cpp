// The test build's allocation faults, driven from Python: the fault plan of
// the C++ tests, started and ended by a test script.
#include <pybind11/pybind11.h>

#include <optional>
#include <utility>

#include "fault_plan.h"

namespace py = pybind11;

namespace efi_python {

namespace {

std::optional<efitest::FaultPlan> g_plan;

}  // namespace

void AddFaultPlan(py::module_& m) {
    m.def(
        "_fault_plan", [](int failAt) { g_plan.emplace(failAt); }, py::arg("fail_at"),
        "Refuses allocation number fail_at (from 1; 0 only counts) until _fault_plan_end.");
    m.def(
        "_fault_plan_end",
        [] {
            const auto result = std::make_pair(efitest::FaultPlan::seen(), efitest::FaultPlan::fired());
            g_plan.reset();
            return result;
        },
        "Ends the plan: (allocations seen, whether the chosen one was refused).");
}

}  // namespace efi_python
