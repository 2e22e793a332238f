#include "Log.hpp"

#include <cstdio>
#include <mutex>
#include <string>

namespace rfb {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

}  // namespace

void setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

void log(LogLevel level, std::string_view message) {
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(level, message);
    } else if (level == LogLevel::error) {
        std::fprintf(stderr, "%.*s[%.*s] %.*s\n", int(logSubsystem.size()), logSubsystem.data(),
                     int(logCategory.size()), logCategory.data(), int(message.size()),
                     message.data());
    }
}

}  // namespace rfb
