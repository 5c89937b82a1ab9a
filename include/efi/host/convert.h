// Worksheet conversions between SI quantities and the text and vector forms
// people write by hand: feet-inch-fraction text, degree-minute-second vectors
// and hour:minute:second text. The host calls these directly with its values.
#pragma once

#include <efi/export.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

/// The six unit-string conversions. A value type without instance data; every
/// member is static. Each conversion takes one host value and returns one, and
/// raises the host's application error (message, argument 1, or -1 for a bad
/// element of the dms vector) for input it cannot read.
///
/// How text is read
/// ----------------
/// A text is read by trying a pattern at its first character and taking the
/// first way the pattern matches there (patterns are tried in a fixed order;
/// quantifiers are greedy, alternatives and optional parts are tried in the
/// order written, with backtracking). The pattern is accepted only when that
/// first match covers the whole text: a later, longer way of matching is not
/// looked for. This is why `3/4` is not read as whole inches (the first
/// pattern stops after `3`) but by the bare-fraction pattern.
///
/// Only ASCII counts: "white space" is tab, line feed, vertical tab, form
/// feed, carriage return and the blank; "digit" is 0-9. Any character that
/// no spelling names (including non-ASCII blanks and digits, and NUL, which
/// does not end the text) makes the text unreadable. The
/// decimal separator is always ".", whatever the locale. Digit groups are
/// converted to the nearest double; a group too large for a double reads as
/// infinity.
///
/// A pattern whose matching takes pathologically many steps is treated as not
/// matching (the text is then rejected); none of the accepted spellings below
/// comes near that limit, at any length.
struct EFI_API Convert {
    /// Feet-inch-fraction text to a length in metres (a real number).
    ///
    /// Spellings, tried in this order (optional blanks around every part shown
    /// with a blank; `s` is an optional sign `+` or `-` before everything):
    ///   1. s [F'] [I] [[blanks or -]N/D] ["]   e.g. `5' 3-1/2"`, `5' 3 1/2"`,
    ///      `5'3"`, `5'`, `3"`, `3`, `3-1/2`, `-5' 3"`, `+5'`, `5'-1/2"`;
    ///      also the empty text, blanks only (both 0) and `-` alone (-0).
    ///   2. s N/D ["]                          e.g. `3/4`, `-1/2"`
    ///   3. s F' N/D ["]                       e.g. `5' 3/4"`, `5'1/2`
    /// F, I, N, D are unsigned digit strings (no decimals, no exponent).
    /// Value: (I + N/D) inches + F feet, negated for `-`. A zero D is not
    /// rejected: the division gives what the floating-point environment in
    /// force makes of it (infinity or NaN when masked; a trap otherwise).
    ///
    /// Rejected ("bad_fif_string", 1): `abc`, `'`, `3 - 1/2` (blanks around
    /// the hyphen), `- 1/2` (blank after the sign of a bare fraction),
    /// `1.5'`, `5 '`, `5' -3"`, `5'3"x`, `--5'`.
    /// Not text: "must be string", 1.
    static Vrn::Run::Object fif(const Vrn::Run::Object& text);

    /// Metres to feet-inch-fraction text: `3' 3-47/127"` for 1.0, `0' 1/2"`
    /// for 0.0127, `1' 0"` for 0.3048, `-0' 0"` for -1e-9. The inch fraction
    /// is the continued-fraction convergent with denominator at most 256; a
    /// fraction that rounds to one whole inch carries into the inches and then
    /// into the feet. NaN gives the text `NaN`, infinities `Infinity` and
    /// `-Infinity`. Not a real number: "must be real", 1.
    ///
    /// Large inputs: every length written reads back through `fif` to within
    /// 1/256 inch plus a few units in the last place of the input. A length
    /// of more than 2^53 inches (about 2.2877e14 m), where whole inches are
    /// no longer exact doubles, raises "overflow", 1 instead, whatever the
    /// floating-point control word.
    static Vrn::Run::Object fif_inv(const Vrn::Run::Object& metres);

    /// A real 3x1 column vector (degrees, minutes, seconds) to radians. The
    /// parts need not share a sign and are not range-limited: (12, -30, 0) is
    /// 11.5 degrees.
    /// Errors: not a real column vector: "must be real vector", 1; not 3 rows:
    /// "must be a 3 element vector", 1; an element that is not a real number:
    /// "must be real", -1.
    static Vrn::Run::Object dms(const Vrn::Run::Object& vector);

    /// Radians to a real 3x1 vector (degrees, minutes, seconds). Whole turns
    /// are dropped, so the degrees lie in [0, 360) before the sign of the
    /// input is put on all three parts; the seconds keep their fraction. NaN
    /// gives the text `NaN`. Not a real number: "must be real", 1.
    ///
    /// Large inputs: the vector read back through `dms` is the input less its
    /// whole turns, to within a few units in the last place of the input. An
    /// angle of more than 2^53 seconds of arc (about 4.3668e10 radians), and
    /// an infinite one, raises "overflow", 1 instead, whatever the
    /// floating-point control word; the vector never holds a NaN.
    static Vrn::Run::Object dms_inv(const Vrn::Run::Object& radians);

    /// Hours:minutes:seconds text to seconds.
    ///
    /// Spelling: s H:M:S with optional blanks before and after, where s is an
    /// optional `+` or `-`, H one or more digits, M one or two digits and S
    /// one or more digits with an optional `.` and one or more digits. Minutes
    /// and seconds are not limited to 59.
    /// Legal: `1:01:01.5` (3661.5), `-0:0:5` (-5), ` 1:2:3 `, `1:99:00` (9540),
    /// `0:0:75.25`.
    /// Rejected ("bad_hhmmss_string", 1): `1:100:00`, `1:2`, `1:2:3.`,
    /// `1:2:.5`, `1:2:3,5`, `1.5:0:0`, `1:2:3e1`, the empty text.
    /// Not text: "must be string", 1.
    static Vrn::Run::Object hhmmss(const Vrn::Run::Object& text);

    /// Seconds to `h:m:s` text: `1:1:1.5` for 3661.5, `-1:1:1.5` for -3661.5.
    /// The seconds are rounded half up to whole milliseconds after the hours
    /// and minutes are split off, with no carry: 59.9996 gives `0:0:60`.
    /// Seconds are written with up to 15 significant digits, no trailing zeros
    /// and no decimal point when whole; a value that would need more than 15
    /// integer digits is written in exponent form such as `1.5E+16` (at
    /// least two exponent digits); the inputs accepted never need it.
    /// NaN gives the text `NaN`, infinities `Infinity` and `-Infinity`.
    /// Not a real number: "must be real", 1.
    ///
    /// Large inputs: every text written reads back through `hhmmss` to within
    /// half a millisecond plus a few units in the last place of the input. A
    /// time of more than 2^53 seconds (about 2.85e8 years), where whole
    /// seconds are no longer exact doubles, raises "overflow", 1 instead,
    /// whatever the floating-point control word.
    static Vrn::Run::Object hhmmss_inv(const Vrn::Run::Object& seconds);
};

}  // namespace Efi
