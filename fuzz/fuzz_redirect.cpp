// The redirector's resolving step over any name and base, with no transfers
// (flags 0). Whatever the texts, construction either resolves or raises the
// component error of a URL that cannot be made; a remote resource is stood
// for by exactly one empty temporary file, which is gone once the object is,
// and a local one creates none. The temporary directory is private to this
// process so that any file left behind is seen.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <efi/redirector.h>

#include "fuzz_support.h"

namespace {

std::string g_tempDir;

int FilesInTempDir() {
    DIR* dir = ::opendir(g_tempDir.c_str());
    REQUIRE(dir != nullptr);
    int n = 0;
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    ::closedir(dir);
    return n;
}

void RemoveTempDir() { ::rmdir(g_tempDir.c_str()); }

void CheckResolved(const CHTTPRedirector& r) {
    const std::string file = r.GetFullFileName();
    if (!r.IsRemote()) {
        REQUIRE(FilesInTempDir() == 0);
        return;
    }
    REQUIRE(*r.GetURL() != '\0');
    REQUIRE(file.rfind(g_tempDir + "/QL", 0) == 0);
    struct stat st {};
    REQUIRE(::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0);
    REQUIRE(FilesInTempDir() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/efi-fuzz-redirect-XXXXXX";
    REQUIRE(::mkdtemp(pattern) != nullptr);
    g_tempDir = pattern;
    ::setenv("TMPDIR", pattern, 1);
    std::atexit(RemoveTempDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (g_tempDir.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
    efifuzz::ByteReader in(data, size);
    const std::uint8_t how = in.take<std::uint8_t>();
    const std::string name(in.bytes(in.take<std::uint16_t>()));
    const std::string base(in.rest());
    // Texts are NUL-terminated: an embedded NUL ends them, as for any caller.
    const char* namePtr = (how & 1) ? nullptr : name.c_str();
    const char* basePtr = (how & 2) ? nullptr : base.c_str();
    try {
        CHTTPRedirector r(namePtr, basePtr, 0);
        CheckResolved(r);
        if (how & 4) {
            CHTTPRedirector moved(std::move(r));
            CheckResolved(moved);
            REQUIRE(!r.IsRemote() && *r.GetFullFileName() == '\0');
        }
        if (how & 8) {
            r.Abort();
            REQUIRE(*r.GetFullFileName() == '\0');
        }
    } catch (const _com_error& e) {
        REQUIRE(e.Error() < 0);
    }
    REQUIRE(FilesInTempDir() == 0);
    return 0;
}
