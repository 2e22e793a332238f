// Runs a fuzz target over files and folders of inputs, for builds without libFuzzer: the
// checked-in corpora and crash regressions then run as ordinary tests.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::size_t count = 0;
    const auto run = [&](const fs::path& path) {
        std::ifstream file(path, std::ios::binary);
        std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(file), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
    };
    // A missing path is skipped: a target without crash regressions yet.
    for (const fs::path& path : std::vector<fs::path>(argv + 1, argv + argc)) {
        if (fs::is_directory(path)) {
            for (const auto& entry : fs::recursive_directory_iterator(path)) {
                entry.is_regular_file() ? run(entry.path()) : void();
            }
        } else if (fs::exists(path)) {
            run(path);
        }
    }
    std::printf("ran %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
