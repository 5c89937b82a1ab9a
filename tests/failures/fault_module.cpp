// Arithmetic in a separately built shared object, as in an extension module:
// the operands arrive at run time, so nothing is folded away.
#define FAULT_MODULE_API extern "C" __attribute__((visibility("default")))

FAULT_MODULE_API double fault_divide(double a, double b) { return a / b; }
FAULT_MODULE_API double fault_multiply(double a, double b) { return a * b; }
FAULT_MODULE_API int fault_int_divide(int a, int b) { return a / b; }
FAULT_MODULE_API long double fault_divide_long(long double a, long double b) { return a / b; }
