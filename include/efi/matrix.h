// Matrix helper routines for extension code: copying, symmetry, column
// normalisation, joining, column extraction and clearing, and dropping an
// all-zero imaginary plane. They take the array records of the native API;
// records they make are compact (m_anr = m_rows) and live in the given call
// context. Inputs are always read through their own m_anr.
//
// An array record can be read safely when its counts are not negative and
// m_anr >= m_rows; the routines leave records that fail this alone.
#pragma once

#include <efi/call.h>
#include <efi/export.h>
#include <efi/records.h>

/// *dst = a compact copy of src in ctx's allocator; with add_imag a real src
/// gets a zero-filled imaginary plane. Null arguments or an unreadable src:
/// nothing is done and *dst is not written.
EFI_API void matrix_copy(Efi::EfiCallContext* ctx, aMatrix* src, aMatrix** dst, bool add_imag);

/// matrix_copy with add_imag: the copy is always complex.
EFI_API void matrix_copy_add_imag(Efi::EfiCallContext* ctx, aMatrix* src, aMatrix** dst);

/// True when m is square and equals its plain transpose (real and imaginary
/// parts alike, exact comparison, diagonal not examined; a NaN off the
/// diagonal makes it false).
EFI_API bool symmetry(aMatrix* m);

/// Scales each column to unit Euclidean length, multiplying by the double
/// nearest 1/length. Stops at the first column of length zero, leaving it
/// and all later columns as they are. A real record gains an imaginary plane
/// (from the current allocator) only if a scaled imaginary part is non-zero.
EFI_API void renormalize_matrix_cols(aMatrix* m);

/// *out = real parts of top stacked over those of bottom (real record of
/// top.rows + bottom.rows rows and top.cols columns). False, with nothing
/// made or written, when bottom has rows but fewer columns than top.
EFI_API bool pack_two_rr(Efi::EfiCallContext* ctx, aMatrix* top, aMatrix* bottom, aMatrix** out);

/// *out = real parts of left and right side by side (real record of
/// left.rows rows). False, with nothing made or written, when right has
/// columns but fewer rows than left.
EFI_API bool pack_two_r(Efi::EfiCallContext* ctx, aMatrix* left, aMatrix* right, aMatrix** out);

/// *out = a, b and c side by side as a complex record (zero imaginary parts
/// for real sources) of a.rows rows. False, with nothing made or written,
/// when b or c has columns but fewer rows than a.
EFI_API bool pack_three_c(Efi::EfiCallContext* ctx, aMatrix* a, aMatrix* b, aMatrix* c, aMatrix** out);

/// Copies the real parts of column col of m into v (element index i, no
/// leading dimension), setting imaginary parts to 0.0. Returns null on
/// success, else "unknown error" (m or v null), "invalid dimension" (m has
/// no rows or columns, or v has no room for m's rows) or "index out of
/// bounds" (col outside m).
EFI_API const char* MtoVcol(aMatrix* m, int col, aVector* v);

/// Sets the real parts of rows first_row .. rows-1 of column col to 0.0.
/// A column outside m does nothing; a negative first_row starts at row 0.
EFI_API void zero_col(int col, int first_row, aMatrix* m);

/// Drops m's imaginary plane when every element of it compares equal to 0.0
/// (returning true; a real record is true as it stands); false, leaving m
/// unchanged, when one does not. The record is changed although declared
/// constant: callers hand it over in that form.
EFI_API bool pure_real(const aMatrix* m);
