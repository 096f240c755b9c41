// Feeds every file of the folders named on the command line to a fuzz entry point, so the
// inputs that once broke a parser (and the seeds) are checked in every build, with no
// fuzzer linked. A folder that does not exist holds no inputs yet.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!fs::is_directory(argv[i], ec)) continue;
        for (const auto &e : fs::directory_iterator(argv[i]))
            if (e.is_regular_file()) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        std::printf("%s\n", f.c_str());
        std::fflush(stdout);
        // Exactly sized, so that a read past the end shows under the address sanitizer.
        std::vector<uint8_t> exact(data.begin(), data.end());
        static const uint8_t none = 0;
        LLVMFuzzerTestOneInput(exact.empty() ? &none : exact.data(), exact.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
