#include "BonjourBrowser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <QMetaObject>
#include <set>
#include <tuple>
#include <utility>

namespace tessaral {

// One browse operation: an Avahi client on its own threaded poll, and the service browser. Its
// callbacks run on the poll's thread (or, for the first client state, inside avahi_client_new on
// the main thread) and own `entries_` there; the main thread only creates and destroys it.
class BonjourBrowser::Browse {
  public:
    Browse(BonjourBrowser& owner, std::uint64_t generation)
        : owner_(owner), generation_(generation) {}

    ~Browse() {
        // Stopping joins the poll's thread: afterwards no callback can run, and the owner (which
        // outlives this object) is never reached from that thread again.
        if (poll_ != nullptr) {
            avahi_threaded_poll_stop(poll_);
        }
        if (browser_ != nullptr) {
            avahi_service_browser_free(browser_);
        }
        if (client_ != nullptr) {
            avahi_client_free(client_);
        }
        if (poll_ != nullptr) {
            avahi_threaded_poll_free(poll_);
        }
    }
    Browse(const Browse&) = delete;
    Browse& operator=(const Browse&) = delete;

    void begin() {
        poll_ = avahi_threaded_poll_new();
        if (poll_ == nullptr) {
            failed(avahi_strerror(AVAHI_ERR_NO_MEMORY));
            return;
        }
        int error = AVAHI_OK;
        // Without AVAHI_CLIENT_NO_FAIL a missing daemon is reported at once, like any browse
        // failure, instead of leaving the list waiting silently.
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                                   &Browse::clientChanged, this, &error);
        if (client_ == nullptr) {
            failed(avahi_strerror(error));
            return;
        }
        if (avahi_threaded_poll_start(poll_) < 0) {
            failed(avahi_strerror(AVAHI_ERR_FAILURE));
        }
    }

  private:
    // Interface, protocol, name, domain: the daemon reports each combination separately.
    using Entry = std::tuple<AvahiIfIndex, AvahiProtocol, std::string, std::string>;

    static void clientChanged(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto& self = *static_cast<Browse*>(userdata);
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                // The daemon browses in all of these; they only concern its own host name.
                self.browse(client);
                break;
            case AVAHI_CLIENT_FAILURE:
                self.failed(avahi_strerror(avahi_client_errno(client)));
                break;
            case AVAHI_CLIENT_CONNECTING:
                break;
        }
    }

    // `client` rather than client_: on the first call avahi_client_new has not returned yet.
    void browse(AvahiClient* client) {
        if (browser_ != nullptr) {
            return;
        }
        // No domain: the daemon's default browsing domain.
        browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                             BonjourBrowser::serviceType, nullptr,
                                             AvahiLookupFlags(0), &Browse::browserEvent, this);
        if (browser_ == nullptr) {
            failed(avahi_strerror(avahi_client_errno(client)));
            return;
        }
        post([generation = generation_](BonjourBrowser& owner) { owner.browseReady(generation); });
    }

    static void browserEvent(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                             AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                             const char*, const char* domain, AvahiLookupResultFlags,
                             void* userdata) {
        auto& self = *static_cast<Browse*>(userdata);
        switch (event) {
            case AVAHI_BROWSER_NEW:
                self.entries_.emplace(interface, protocol, name, domain);
                break;
            case AVAHI_BROWSER_REMOVE:
                self.entries_.erase(Entry(interface, protocol, name, domain));
                break;
            case AVAHI_BROWSER_ALL_FOR_NOW:
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
                // Reported even when nothing was found, so that a list left over from an
                // earlier browse is replaced by the truth once it is known.
                break;
            case AVAHI_BROWSER_FAILURE:
                self.failed(
                    avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
                return;
        }
        self.publishNames();
    }

    void publishNames() {
        // std::string orders UTF-8 by code point; the set also merges a name seen on several
        // interfaces or protocols into one.
        std::set<std::string> unique;
        for (const auto& entry : entries_) {
            unique.insert(std::get<2>(entry));
        }
        post([generation = generation_,
              names = std::vector<std::string>(unique.begin(), unique.end())](
                 BonjourBrowser& owner) { owner.namesFound(generation, names); });
    }

    void failed(const char* message) {
        post([generation = generation_, text = QString::fromUtf8(message)](BonjourBrowser& owner) {
            owner.browseFailed(generation, text);
        });
    }

    // Queued even when already on the main thread, so that observers always see a report after
    // the call that caused it has returned.
    template <typename Report>
    void post(Report report) {
        BonjourBrowser* owner = &owner_;
        QMetaObject::invokeMethod(
            owner, [owner, report = std::move(report)] { report(*owner); }, Qt::QueuedConnection);
    }

    BonjourBrowser& owner_;
    const std::uint64_t generation_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    std::set<Entry> entries_;
};

BonjourBrowser::BonjourBrowser(QObject* parent) : QObject(parent) {}

BonjourBrowser::~BonjourBrowser() = default;

void BonjourBrowser::start() {
    if (browse_) {
        return;
    }
    browse_ = std::make_unique<Browse>(*this, ++generation_);
    browse_->begin();
}

void BonjourBrowser::stop() {
    if (browse_) {
        browse_.reset();
        // Reports already on their way from the stopped operation must not land.
        ++generation_;
    }
    setBrowsing(false);
}

void BonjourBrowser::restart() {
    stop();
    setServices({});
    start();
}

void BonjourBrowser::namesFound(std::uint64_t generation, const std::vector<std::string>& names) {
    if (generation != generation_) {
        return;
    }
    QList<Service> services;
    services.reserve(static_cast<qsizetype>(names.size()));
    for (const auto& name : names) {
        services.push_back(Service{QString::fromStdString(name)});
    }
    setServices(std::move(services));
}

void BonjourBrowser::browseReady(std::uint64_t generation) {
    if (generation != generation_) {
        return;
    }
    setBrowsing(true);
    setErrorMessage(std::nullopt);
}

void BonjourBrowser::browseFailed(std::uint64_t generation, const QString& message) {
    if (generation != generation_) {
        return;
    }
    setBrowsing(false);
    setErrorMessage(message);
}

void BonjourBrowser::setServices(QList<Service> services) {
    if (services == services_) {
        return;
    }
    services_ = std::move(services);
    emit servicesChanged();
}

void BonjourBrowser::setBrowsing(bool browsing) {
    if (browsing == isBrowsing_) {
        return;
    }
    isBrowsing_ = browsing;
    emit isBrowsingChanged();
}

void BonjourBrowser::setErrorMessage(std::optional<QString> message) {
    if (message == errorMessage_) {
        return;
    }
    errorMessage_ = std::move(message);
    emit errorMessageChanged();
}

}  // namespace tessaral
