#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QUuid>
#include <optional>

#include "Model/Connection.hpp"
#include "RFBConfiguration.hpp"

namespace tessaral {

// User-interface state shared by the windows and menus: which sheet, panel or alert is asked
// for, and credentials handed from the library window to a session window about to open. One
// instance per run, on the main thread. Each field has a signal that fires when it changes.
class AppState : public QObject {
    Q_OBJECT

  public:
    // Opens the connection editor on `connection`; presented once per connection id.
    struct EditorRequest {
        Connection connection;
        bool isNew = false;

        QUuid id() const { return connection.id; }
        bool operator==(const EditorRequest&) const = default;
    };

    // The application-wide alert.
    struct AppAlert {
        QString title;
        QString message;

        bool operator==(const AppAlert&) const = default;
    };

    explicit AppState(QObject* parent = nullptr);

    bool showQuickConnect() const { return showQuickConnect_; }
    void setShowQuickConnect(bool show);

    const std::optional<EditorRequest>& editorRequest() const { return editorRequest_; }
    void setEditorRequest(std::optional<EditorRequest> request);

    bool showImporter() const { return showImporter_; }
    void setShowImporter(bool show);

    bool showExporter() const { return showExporter_; }
    void setShowExporter(bool show);

    const std::optional<AppAlert>& alert() const { return alert_; }
    void setAlert(std::optional<AppAlert> alert);

    // Asks the editor for a new, unsaved computer filed under `groupID`, with the options the
    // preferences give new computers.
    void newConnection(std::optional<QUuid> groupID = std::nullopt);

    // Credentials for the session window about to open for `id`; each entry is taken once.
    void setPendingCredentials(const QUuid& id, const rfb::RFBCredentials& credentials);
    std::optional<rfb::RFBCredentials> takePendingCredentials(const QUuid& id);

  signals:
    void showQuickConnectChanged(bool show);
    void editorRequestChanged();
    void showImporterChanged(bool show);
    void showExporterChanged(bool show);
    void alertChanged();

  private:
    bool showQuickConnect_ = false;
    std::optional<EditorRequest> editorRequest_;
    bool showImporter_ = false;
    bool showExporter_ = false;
    std::optional<AppAlert> alert_;
    QHash<QUuid, rfb::RFBCredentials> pendingCredentials_;
};

}  // namespace tessaral
