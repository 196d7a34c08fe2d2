// Replays fuzz inputs without libFuzzer: every file named on the command line,
// and every regular file in a folder named there, goes once through
// LLVMFuzzerTestOneInput. The GCC build links this into each fuzz target so
// that the checked-in corpora run as ordinary tests; a target that crashes or
// trips a check fails the test. A folder with no inputs is an error, so a
// corpus that went missing does not pass as empty.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadFile(const std::filesystem::path& path, std::vector<char>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool Replay(const std::filesystem::path& path)
{
    std::vector<char> bytes;
    if (!ReadFile(path, bytes)) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    // An exact-size heap copy, so a read one byte past the input is caught by
    // AddressSanitizer in a sanitizer build (as under libFuzzer).
    std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    std::fprintf(stderr, "%s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
                return 1;
            }
            if (files.empty()) {
                std::fprintf(stderr, "no inputs in %s\n", arg.c_str());
                return 1;
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                if (!Replay(file))
                    return 1;
                ++count;
            }
        } else {
            if (!Replay(arg))
                return 1;
            ++count;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", count);
    return 0;
}
