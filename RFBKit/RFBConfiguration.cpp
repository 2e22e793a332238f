#include "RFBConfiguration.hpp"

namespace rfb {

std::string RFBEndpoint::rendering() const {
    if (const auto* h = std::get_if<Host>(&value)) {
        return "host(\"" + h->host + "\", port: " + std::to_string(h->port) + ")";
    }
    const auto& b = std::get<Bonjour>(value);
    return "service(\"" + b.name + "\", \"" + b.type + "\", \"" + b.domain + "\")";
}

}  // namespace rfb
