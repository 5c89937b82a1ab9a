// A typed module as an author writes it against the installed package:
// <efi/bind.h> writes the table, masked flag included.
#include <efi/bind.h>

#include <cmath>
#include <cstdint>

namespace {

double cons_typed_half(std::int32_t n) { return n / 2.0; }
double cons_typed_exp(double x) { return std::exp(x); }

}  // namespace

EFI_BIND_MODULE(efi::def<&cons_typed_half>("cons_typed_half", {"n"}, "Half an integer."),
                efi::def<&cons_typed_exp>("cons_typed_exp", {"x"}, "e to the x.", efi::masked));
