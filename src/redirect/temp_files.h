// The temporary files that stand for remote resources: made unique and
// empty, named after the resource's extension, and listed while they live so
// that a host's signal handler can remove them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Efi::detail {

/// Whether a local directory text already ends in a separator ('/' or '\\'),
/// so that joining a name to it adds none.
inline bool EndsWithSeparator(const std::string& text) noexcept {
    return !text.empty() && (text.back() == '/' || text.back() == '\\');
}

/// Size of a temporary file's name buffer, terminating NUL included.
inline constexpr std::size_t kTempNameSize = 260;

/// The extension (".csv") of the last path segment of `url`, or "" when it
/// has none a file name could carry: at most 16 letters, digits, '_' or '-'
/// after a dot that does not start the segment.
std::string_view ExtensionOfUrl(std::string_view url) noexcept;

/// Creates a new empty file "QLxxxxxx" followed by `extension` (mode 0600)
/// in $TMPDIR, else /tmp, lists it as live, and returns its name in a
/// buffer of kTempNameSize characters. Raises std::system_error.
std::unique_ptr<char[]> CreateUniqueTempFile(std::string_view extension);

/// Takes `name` off the list of live files (the file itself stays).
void ForgetTempFile(const char* name) noexcept;

/// Deletes every live temporary file; async-signal-safe.
void DeleteLiveTempFiles() noexcept;

}  // namespace Efi::detail
