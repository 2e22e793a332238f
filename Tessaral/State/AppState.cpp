#include "AppState.hpp"

namespace tessaral {

AppState::AppState(QObject* parent) : QObject(parent) {}

void AppState::setShowQuickConnect(bool show) {
    if (showQuickConnect_ != show) {
        showQuickConnect_ = show;
        emit showQuickConnectChanged(show);
    }
}

void AppState::setEditorRequest(std::optional<EditorRequest> request) {
    if (editorRequest_ != request) {
        editorRequest_ = std::move(request);
        emit editorRequestChanged();
    }
}

void AppState::setShowImporter(bool show) {
    if (showImporter_ != show) {
        showImporter_ = show;
        emit showImporterChanged(show);
    }
}

void AppState::setShowExporter(bool show) {
    if (showExporter_ != show) {
        showExporter_ = show;
        emit showExporterChanged(show);
    }
}

void AppState::setAlert(std::optional<AppAlert> alert) {
    if (alert_ != alert) {
        alert_ = std::move(alert);
        emit alertChanged();
    }
}

void AppState::newConnection(std::optional<QUuid> groupID) {
    setEditorRequest(EditorRequest{Connection::newComputer(groupID), true});
}

void AppState::setPendingCredentials(const QUuid& id, const rfb::RFBCredentials& credentials) {
    pendingCredentials_.insert(id, credentials);
}

std::optional<rfb::RFBCredentials> AppState::takePendingCredentials(const QUuid& id) {
    const auto it = pendingCredentials_.find(id);
    if (it == pendingCredentials_.end()) {
        return std::nullopt;
    }
    rfb::RFBCredentials credentials = std::move(it.value());
    pendingCredentials_.erase(it);
    return credentials;
}

}  // namespace tessaral
