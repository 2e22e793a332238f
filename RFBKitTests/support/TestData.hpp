#pragma once

#include <filesystem>
#include <string>

namespace rfbtest {

// A file of the checked-in test data (RFBKitTests/data).
inline std::filesystem::path dataFile(const std::string& name) {
    return std::filesystem::path(TESSARAL_TEST_DATA_DIR) / name;
}

}  // namespace rfbtest
