#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rfbtest {

// A file of the checked-in test data (RFBKitTests/data).
inline std::filesystem::path dataFile(const std::string& name) {
    return std::filesystem::path(TESSARAL_TEST_DATA_DIR) / name;
}

// A photo-like JPEG made by PIL (jpeg_pair.py takes "WIDTH HEIGHT SUBSAMPLING QUALITY RGB|L"),
// and PIL's own decode of it as RGB bytes, row by row.
inline std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> photoJPEG(
    const std::string& arguments) {
    const std::string path = std::filesystem::temp_directory_path() / "tessaral-test.jpg";
    const std::string command =
        "/usr/bin/python3 " + dataFile("jpeg_pair.py").string() + " " + arguments + " " + path;
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("jpeg_pair.py failed: " + arguments);
    }
    auto read = [](const std::string& name) {
        std::ifstream file(name, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
    };
    return {read(path), read(path + ".rgb")};
}

}  // namespace rfbtest
