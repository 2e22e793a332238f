#pragma once

#include <functional>
#include <string_view>

namespace rfb {

enum class LogLevel { debug, info, error };

// The library logs under this subsystem and category.
inline constexpr std::string_view logSubsystem = "org.tessaral.Tessaral.RFBKit";
inline constexpr std::string_view logCategory = "client";

using LogSink = std::function<void(LogLevel, std::string_view message)>;

// Replaces where the library's log lines go (standard error by default, errors only). An empty
// sink restores the default. Thread-safe.
void setLogSink(LogSink sink);
void log(LogLevel level, std::string_view message);

}  // namespace rfb
