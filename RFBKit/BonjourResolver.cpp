#include "BonjourResolver.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "RFBError.hpp"

namespace rfb {

namespace {

using Clock = std::chrono::steady_clock;

struct PollDeleter {
    void operator()(AvahiSimplePoll* poll) const { avahi_simple_poll_free(poll); }
};
// Freeing the client also frees its resolver and closes its private bus connection.
struct ClientDeleter {
    void operator()(AvahiClient* client) const { avahi_client_free(client); }
};

struct Resolution {
    Clock::time_point deadline;
    int cancelFd = -1;
    bool cancelled = false;
    std::optional<ResolvedService> found;
    std::optional<std::string> failure;
    std::vector<pollfd> fds;
};

int remainingMilliseconds(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long>(left.count(), 1'000'000));
}

bool isReadable(int fd) {
    pollfd probe{fd, POLLIN, 0};
    return ::poll(&probe, 1, 0) > 0;
}

// Avahi's own wait, with the cancellation descriptor watched too and never past the deadline, so
// that neither a stop nor the connect time-out has to wait for the daemon.
int pollWithCancellation(pollfd* ufds, unsigned int nfds, int timeout, void* userdata) {
    auto& resolution = *static_cast<Resolution*>(userdata);
    resolution.fds.assign(ufds, ufds + nfds);
    resolution.fds.push_back({resolution.cancelFd, POLLIN, 0});
    int left = remainingMilliseconds(resolution.deadline);
    int wait = timeout < 0 ? left : std::min(timeout, left);
    int ready = ::poll(resolution.fds.data(), resolution.fds.size(), wait);
    for (unsigned int i = 0; i < nfds; ++i) {
        ufds[i].revents = ready > 0 ? resolution.fds[i].revents : 0;
    }
    if (ready < 0) {
        // A signal only cuts this wait short; the caller's loop looks at the clock again.
        return errno == EINTR ? 0 : -1;
    }
    if (ready > 0 && resolution.fds.back().revents != 0) {
        resolution.cancelled = true;
        --ready;
    }
    return ready;
}

std::string clientError(AvahiClient* client) {
    return avahi_strerror(avahi_client_errno(client));
}

void clientChanged(AvahiClient* client, AvahiClientState state, void* userdata) {
    auto& resolution = *static_cast<Resolution*>(userdata);
    if (state == AVAHI_CLIENT_FAILURE && !resolution.failure) {
        resolution.failure = clientError(client);
    }
}

bool isLinkLocal(const AvahiAddress& address) {
    const auto* bytes = address.data.ipv6.address;
    return address.proto == AVAHI_PROTO_INET6 && bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
}

void serviceResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                     AvahiResolverEvent event, const char*, const char*, const char*,
                     const char* hostName, const AvahiAddress* address, std::uint16_t port,
                     AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
    auto& resolution = *static_cast<Resolution*>(userdata);
    if (resolution.found || resolution.failure) {
        return;
    }
    if (event != AVAHI_RESOLVER_FOUND || address == nullptr) {
        resolution.failure = clientError(avahi_service_resolver_get_client(resolver));
        return;
    }
    char text[AVAHI_ADDRESS_STR_MAX];
    avahi_address_snprint(text, sizeof text, address);
    ResolvedService service{text, port, hostName != nullptr ? hostName : ""};
    if (isLinkLocal(*address) && interface > 0) {
        service.host += "%" + std::to_string(interface);
    }
    resolution.found = std::move(service);
}

}  // namespace

ResolvedService resolveBonjourService(const std::string& name, const std::string& type,
                                      const std::string& domain, Clock::time_point deadline,
                                      int cancelFd) {
    if (isReadable(cancelFd)) {
        throw Cancelled();
    }
    if (Clock::now() >= deadline) {
        throw RFBError::timedOut();
    }
    // A NUL would silently resolve a shorter name than the one asked for.
    auto rejectNul = [](const std::string& text, int error) {
        if (text.find('\0') != std::string::npos) {
            throw RFBError::connectionFailed(avahi_strerror(error));
        }
    };
    rejectNul(name, AVAHI_ERR_INVALID_SERVICE_NAME);
    rejectNul(type, AVAHI_ERR_INVALID_SERVICE_TYPE);
    rejectNul(domain, AVAHI_ERR_INVALID_DOMAIN_NAME);

    Resolution resolution;
    resolution.deadline = deadline;
    resolution.cancelFd = cancelFd;
    std::unique_ptr<AvahiSimplePoll, PollDeleter> poll(avahi_simple_poll_new());
    if (!poll) {
        throw RFBError::connectionFailed(avahi_strerror(AVAHI_ERR_NO_MEMORY));
    }
    avahi_simple_poll_set_func(poll.get(), pollWithCancellation, &resolution);

    // Connecting to the daemon is a short synchronous exchange on the local system bus; without a
    // daemon it fails at once rather than waiting for one to appear.
    int error = AVAHI_OK;
    std::unique_ptr<AvahiClient, ClientDeleter> client(
        avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), clientChanged,
                         &resolution, &error));
    if (!client) {
        throw RFBError::connectionFailed(avahi_strerror(error));
    }
    if (resolution.failure) {
        throw RFBError::connectionFailed(*resolution.failure);
    }
    if (avahi_service_resolver_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, name.c_str(),
                                   type.c_str(), domain.c_str(), AVAHI_PROTO_UNSPEC,
                                   AvahiLookupFlags(0), serviceResolved, &resolution) == nullptr) {
        throw RFBError::connectionFailed(clientError(client.get()));
    }

    while (!resolution.found && !resolution.failure) {
        if (resolution.cancelled) {
            throw Cancelled();
        }
        if (Clock::now() >= deadline) {
            throw RFBError::timedOut();
        }
        if (avahi_simple_poll_iterate(poll.get(), -1) < 0) {
            throw RFBError::connectionFailed(std::strerror(errno));
        }
    }
    if (resolution.failure) {
        throw RFBError::connectionFailed(*resolution.failure);
    }
    return *resolution.found;
}

}  // namespace rfb
