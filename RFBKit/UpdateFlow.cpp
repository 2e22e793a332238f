#include "UpdateFlow.hpp"

#include <utility>

#include "ClientMessage.hpp"

namespace rfb {

namespace {

void append(std::vector<std::uint8_t>& messages, const std::vector<std::uint8_t>& message) {
    messages.insert(messages.end(), message.begin(), message.end());
}

}  // namespace

UpdateFlow::Step UpdateFlow::afterUpdate(long width, long height, bool full, bool resized,
                                         std::optional<PixelFormat> format) {
    Step step;
    if (!continuous_) {
        if (format) {
            // Nothing else was asked for, so every update from now on comes in the new format.
            append(step.messages, ClientMessage::setPixelFormat(*format));
            step.format = format;
            full = true;
        }
        append(step.messages, ClientMessage::framebufferUpdateRequest(!full, 0, 0, width, height));
        return step;
    }
    if (format) {
        // Updates already on their way keep the old format; the server's EndOfContinuousUpdates
        // for the pause marks where the new one starts.
        append(step.messages, ClientMessage::enableContinuousUpdates(false, 0, 0, 0, 0));
        append(step.messages, ClientMessage::setPixelFormat(*format));
        switching_ = format;
    }
    if (format || resized) {
        append(step.messages, ClientMessage::enableContinuousUpdates(true, 0, 0, width, height));
    }
    if (format || full) {
        append(step.messages, ClientMessage::framebufferUpdateRequest(false, 0, 0, width, height));
    }
    return step;
}

UpdateFlow::Step UpdateFlow::endOfContinuousUpdates(long width, long height) {
    Step step;
    if (switching_) {
        step.format = std::exchange(switching_, std::nullopt);
    } else if (!offered_) {
        offered_ = continuous_ = true;
        step.messages = ClientMessage::enableContinuousUpdates(true, 0, 0, width, height);
    } else if (continuous_) {
        // The server stopped them: without a request nothing more would come.
        continuous_ = false;
        step.messages = ClientMessage::framebufferUpdateRequest(true, 0, 0, width, height);
    }
    return step;
}

}  // namespace rfb
