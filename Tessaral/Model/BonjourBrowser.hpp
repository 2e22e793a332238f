#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaral {

// Finds the computers on the local network that advertise remote-screen service ("_rfb._tcp")
// through the Avahi daemon, and keeps their instance names for the nearby list. It lists names
// only: a session resolves a name itself when it connects.
//
// Used on the main thread only. Avahi runs its callbacks on a thread of its own; they hand copies
// of what they learnt to the main thread, where every property changes and every signal is
// emitted. Browse failures (no daemon, the daemon going away) only set errorMessage; nothing
// retries by itself.
class BonjourBrowser : public QObject {
    Q_OBJECT

  public:
    static constexpr const char* serviceType = "_rfb._tcp";

    struct Service {
        // The advertised instance name; also the identity: a computer seen on several
        // interfaces, or over both IPv4 and IPv6, is one service.
        QString name;
        bool operator==(const Service&) const = default;
    };

    explicit BonjourBrowser(QObject* parent = nullptr);
    ~BonjourBrowser() override;

    // Sorted by code point (case-sensitive: "Alpha", "Beta", "alpha"), each name once.
    const QList<Service>& services() const { return services_; }
    // True while the daemon is browsing for us.
    bool isBrowsing() const { return isBrowsing_; }
    // The last browse failure in Avahi's words; cleared when a browse is ready again.
    const std::optional<QString>& errorMessage() const { return errorMessage_; }
    // Whether a browse operation exists (between start() and stop()), even a failed one.
    bool hasBrowseOperation() const { return browse_ != nullptr; }

    // Does nothing while a browse operation exists, failed or not; restart() retries.
    void start();
    // Ends the browse operation. The list and the error stay as they are.
    void stop();
    // stop(), empty the list, start(): what "Try Again" and "Refresh" do.
    void restart();

  signals:
    void servicesChanged();
    void isBrowsingChanged();
    void errorMessageChanged();

  private:
    class Browse;

    // Reports from a browse operation; those of one that has since been stopped are ignored.
    void namesFound(std::uint64_t generation, const std::vector<std::string>& names);
    void browseReady(std::uint64_t generation);
    void browseFailed(std::uint64_t generation, const QString& message);

    void setServices(QList<Service> services);
    void setBrowsing(bool browsing);
    void setErrorMessage(std::optional<QString> message);

    std::unique_ptr<Browse> browse_;
    std::uint64_t generation_ = 0;
    QList<Service> services_;
    bool isBrowsing_ = false;
    std::optional<QString> errorMessage_;
};

}  // namespace tessaral
