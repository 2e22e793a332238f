#include "SessionRouter.hpp"

#include "App/AppState.hpp"
#include "Model/ConnectionStore.hpp"
#include "RFBError.hpp"
#include "VNCAddress.hpp"

namespace tessaral {

SessionRouter::SessionRouter(ConnectionStore& store, AppState& appState, OpenSession openSession)
    : store_(store), appState_(appState), openSession_(std::move(openSession)) {}

bool SessionRouter::openLink(const QString& link) {
    rfb::VNCAddress address;
    try {
        address = rfb::VNCAddress::parse(link.toStdString());
    } catch (const rfb::RFBError& error) {
        appState_.setAlert(AppState::AppAlert{QObject::tr("Can’t Open Link"),
                                              QString::fromStdString(error.errorDescription())});
        return false;
    }
    const Connection connection = store_.connectionFor(address);
    if (address.password) {
        appState_.setPendingCredentials(
            connection.id,
            rfb::RFBCredentials{address.username.value_or(std::string()), *address.password});
    }
    openSession_(connection.id);
    return true;
}

}  // namespace tessaral
