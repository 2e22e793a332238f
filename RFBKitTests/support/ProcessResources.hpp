#pragma once

// This process's threads and open descriptors, to show that finished sessions leave none behind.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace rfbtest {

struct ProcessResources {
    long threads = 0;
    long descriptors = 0;  // one more while /proc/self/fd is listed: always the same one

    static ProcessResources now() {
        auto entries = [](const char* directory) {
            return long(std::distance(std::filesystem::directory_iterator(directory), {}));
        };
        return {entries("/proc/self/task"), entries("/proc/self/fd")};
    }
    bool operator==(const ProcessResources&) const = default;
    std::string describe() const {
        return std::to_string(threads) + " threads, " + std::to_string(descriptors) +
               " descriptors";
    }
};

// A client's receive thread winds down on its own after its session has ended: polls until the
// process holds what it held at `baseline`, and returns what it holds at the end.
inline ProcessResources waitForResources(const ProcessResources& baseline,
                                         std::chrono::milliseconds timeout) {
    ProcessResources current;
    for (auto deadline = std::chrono::steady_clock::now() + timeout;
         (current = ProcessResources::now()) != baseline &&
         std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return current;
}

}  // namespace rfbtest
