/* Export and platform switches of the native API, in one place. Plain C as
   well as C++: the C headers use them too. */
#ifndef EFI_EXPORT_H
#define EFI_EXPORT_H

/** Marks a declaration as part of the exported native API. The library is
    built with hidden visibility, so whatever lacks this mark stays private. */
#if defined(__GNUC__) || defined(__clang__)
#define EFI_API __attribute__((visibility("default")))
#else
#define EFI_API
#endif

/** Marks a function that never returns to its caller. */
#define EFI_NORETURN [[noreturn]]

/** Marks a declaration that uses an extension of the language the compilers
    share (a struct without a name inside a union, standard in C11 but not
    in C++ or C99), so that -Wpedantic holds for every file that includes
    the headers. */
#if defined(__GNUC__) || defined(__clang__)
#define EFI_EXTENSION __extension__
#else
#define EFI_EXTENSION
#endif

/** Marks a variable initialised by a constant: constinit where the language
    has it (C++20), so that code reading a thread-local one goes straight to
    it; nothing before (C++17 readers ask a wrapper, which finds nothing to
    run). */
#if defined(__cplusplus) && __cplusplus >= 202002L
#define EFI_CONSTINIT constinit
#else
#define EFI_CONSTINIT
#endif

#endif /* EFI_EXPORT_H */
