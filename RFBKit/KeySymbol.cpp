#include "KeySymbol.hpp"

#include <algorithm>
#include <unordered_map>

#include "Text.hpp"

namespace rfb::KeySymbol {

namespace {

const std::unordered_map<std::uint16_t, std::uint32_t>& specialKeys() {
    // A function-local static: built on first use, and C++ makes concurrent first calls wait for
    // the one that builds it.
    static const std::unordered_map<std::uint16_t, std::uint32_t> table = {
        {36, returnKey},
        {48, tab},
        {51, backspace},
        {53, escape},
        {117, deleteKey},
        {115, home},
        {119, end},
        {116, pageUp},
        {121, pageDown},
        {114, insert},
        {123, left},
        {124, right},
        {125, down},
        {126, up},
        {76, keypadEnter},
        {122, functionKey(1)},
        {120, functionKey(2)},
        {99, functionKey(3)},
        {118, functionKey(4)},
        {96, functionKey(5)},
        {97, functionKey(6)},
        {98, functionKey(7)},
        {100, functionKey(8)},
        {101, functionKey(9)},
        {109, functionKey(10)},
        {103, functionKey(11)},
        {111, functionKey(12)},
        {105, functionKey(13)},
        {107, functionKey(14)},
        {113, functionKey(15)},
        {106, functionKey(16)},
        {64, functionKey(17)},
        {79, functionKey(18)},
        {80, functionKey(19)},
    };
    return table;
}

}  // namespace

std::string_view rawValue(CommandMapping mapping) {
    switch (mapping) {
        case CommandMapping::automatic:
            return "automatic";
        case CommandMapping::meta:
            return "meta";
        case CommandMapping::superKey:
            return "superKey";
        case CommandMapping::control:
            return "control";
    }
    return "automatic";
}

std::string_view id(CommandMapping mapping) {
    return rawValue(mapping);
}

std::string_view title(CommandMapping mapping) {
    switch (mapping) {
        case CommandMapping::automatic:
            return "Automatic";
        case CommandMapping::meta:
            return "Meta (\u2318 on Mac)";
        case CommandMapping::superKey:
            return "Super / Windows";
        case CommandMapping::control:
            return "Control";
    }
    return "Automatic";
}

std::optional<CommandMapping> commandMappingFromRawValue(std::string_view raw) {
    const auto* found = std::find_if(allCommandMappings.begin(), allCommandMappings.end(),
                                     [&](CommandMapping m) { return rawValue(m) == raw; });
    if (found == allCommandMappings.end()) {
        return std::nullopt;
    }
    return *found;
}

std::uint32_t functionKey(int n) {
    return 0xFFBDu + static_cast<std::uint32_t>(std::clamp(n, 1, 35));
}

std::optional<std::uint32_t> forKey(std::uint16_t keyCode, std::string_view characters) {
    const auto& table = specialKeys();
    if (const auto found = table.find(keyCode); found != table.end()) {
        return found->second;
    }
    const std::optional<UTF8Scalar> scalar = leadingScalar(characters);
    if (!scalar) {
        return std::nullopt;
    }
    return forCharacter(scalar->value);
}

std::optional<std::uint32_t> forCharacter(char32_t scalar) {
    const std::uint32_t c = scalar;
    switch (c) {
        case 3:
        case 13:
            return returnKey;
        case 8:
        case 127:
            return backspace;
        case 9:
            return tab;
        case 27:
            return escape;
        default:
            break;
    }
    if ((c >= 32 && c <= 126) || (c >= 160 && c <= 255)) {
        return c;
    }
    if (c <= 255 || (c >= 0xF700 && c <= 0xF8FF) || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return std::nullopt;
    }
    return 0x01000000u + c;
}

std::optional<std::uint32_t> modifier(std::uint16_t keyCode, CommandMapping commandMapping,
                                      bool serverIsApple) {
    const auto command = [&](bool rightHand) -> std::uint32_t {
        switch (commandMapping) {
            case CommandMapping::meta:
                return rightHand ? metaRight : metaLeft;
            case CommandMapping::superKey:
                return rightHand ? superRight : superLeft;
            case CommandMapping::control:
                return rightHand ? controlRight : controlLeft;
            case CommandMapping::automatic:
                break;
        }
        // Apple's server treats Meta as Command; other servers' desktops expect the Super key in
        // that role.
        if (serverIsApple) {
            return rightHand ? metaRight : metaLeft;
        }
        return rightHand ? superRight : superLeft;
    };
    switch (keyCode) {
        case 56:
            return shiftLeft;
        case 60:
            return shiftRight;
        case 59:
            return controlLeft;
        case 62:
            return controlRight;
        case 58:
            return altLeft;
        case 61:
            return altRight;
        case 57:
            return capsLock;
        case 55:
            return command(false);
        case 54:
            return command(true);
        default:
            return std::nullopt;
    }
}

}  // namespace rfb::KeySymbol
