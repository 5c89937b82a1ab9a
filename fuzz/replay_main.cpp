// Replays saved inputs through one fuzz target, as an ordinary program: every
// regular file of each directory named on the command line (in name order),
// and each file named directly. Built into every test build, so an input that
// once crashed a target keeps being run after the fix.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& where) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(where)) {
        for (const auto& entry : std::filesystem::directory_iterator(where))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
    } else if (std::filesystem::is_regular_file(where)) {
        files.push_back(where);
    }
    return files;
}

std::vector<std::uint8_t> Contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& file : InputsOf(argv[i])) {
            const std::vector<std::uint8_t> bytes = Contents(file);
            // An empty vector's data() may be null; the target gets a valid pointer.
            static const std::uint8_t kNothing = 0;
            LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        // A corpus that went missing must not pass as a clean replay.
        std::fprintf(stderr, "replay: no inputs found\n");
        return 2;
    }
    std::fprintf(stderr, "replay: %zu inputs, no failure\n", replayed);
    return 0;
}
