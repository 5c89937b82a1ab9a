// Every text a worksheet user can be shown, written out here apart from
// the lists the library and the host's message table are built from, so
// that a slip in either list fails a test instead of passing through both.
#pragma once

namespace efitest {

/// The standard error table, index = code.
inline constexpr const char* kStandardTexts[] = {
    "must be a number",                    // 0
    "must be a real",                      // 1
    "must be an integer",                  // 2
    "must be a complex",                   // 3
    "must be between 0 and 1",             // 4
    "must be positive",                    // 5
    "must be non-negative",                // 6
    "must be a vector",                    // 7
    "must be a real vector",               // 8
    "must be an integer vector",           // 9
    "must be a complex vector",            // 10
    "must be a matrix",                    // 11
    "must be a real matrix",               // 12
    "must be an integer matrix",           // 13
    "must be a complex matrix",            // 14
    "must be a string",                    // 15
    "must be a function",                  // 16
    "too many parameters",                 // 17
    "too few parameters",                  // 18
    "incompatible dimensions",             // 19
    "invalid matrix size",                 // 20
    "must be a vector or a matrix",        // 21
    "must be a string or a scalar",        // 22
    "must be a string or a vector",        // 23
    "must be a complex or a vector",       // 24
    "must be a real or a vector",          // 25
    "must be an integer or a vector",      // 26
    "subscript out of bounds",             // 27
    "insufficient memory",                 // 28
    "unknown error",                       // 29
    "interrupted",                         // 30
    "illegal ORIGIN",                      // 31
    "illegal TOL",                         // 32
    "illegal derivative",                  // 33
    "unknown file format",                 // 34
    "no local extrema found",              // 35
    "no matching values found",            // 36
    "invalid distribution calculator",     // 37
    "maxval should be at least minval",    // 38
    "must be non-constant matrix",         // 39
    "invalid range",                       // 40
    "invalid modifier",                    // 41
    "invalid matrix index",                // 42
    "negative weights",                    // 43
    "not enough data points",              // 44
    "all knots out of range",              // 45
    "less than two knots in range",        // 46
    "too many knots",                      // 47
    "provided confidence level exceeded",  // 48
    "corrupt spline representation",       // 49
    "point out of interval",               // 50
    "order too big",                       // 51
    "overparameterized system",            // 52
    "too many equality constraints",       // 53
    "maximum evaluations exceeded",        // 54
    "maximum iterations exceeded",         // 55
    "internal QP error",                   // 56
    "search direction not profitable",     // 57
    "sqp underflow",                       // 58
    "underdetermined fit",                 // 59
    "divide by zero",                      // 60
    "invalid nipals result",               // 61
    "eigenvalue iterations exceeded",      // 62
    "non-positive PC",                     // 63
    "invalid scale option",                // 64
    "non-positive covariance diagonal",    // 65
    "non-scalar differentiation result",   // 66
    "both values cannot be strings",       // 67
    "upper bound must be bigger",          // 68
    "must be dimensionless",               // 69
    "incompatible units",                  // 70
    "must be a unit",                      // 71
    "standard deviation cannot be 0",      // 72
    "must be an odd integer",              // 73
    "resulting matrix is empty",           // 74
    "vector must be sorted",               // 75
};
static_assert(sizeof kStandardTexts / sizeof *kStandardTexts == 76);

/// Texts the library raises besides the standard table, and the worksheet
/// wordings of processor faults.
inline constexpr const char* kLibraryTexts[] = {
    "maximum 10 arguments",
    "must be scalar",
    "must be matrix",
    "may not be nested",
    "must be string",
    "argument type not implemented",
    "return type not implemented",
    "argument function error",
    "out of memory",
    "no call is running",
    "invalid dimension",
    "index out of bounds",
    "bad_fif_string",
    "must be real",
    "must be real vector",
    "must be a 3 element vector",
    "bad_hhmmss_string",
    "must be positive integer",
    "domain error",
    "overflow",
    "singularity",
    "floating point error",
};

}  // namespace efitest
