#include "Keychain.hpp"

namespace tessaral {

Keychain::~Keychain() = default;

}  // namespace tessaral
