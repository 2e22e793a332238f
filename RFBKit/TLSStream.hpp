#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Identity.hpp"
#include "RFBInput.hpp"
#include "Stream.hpp"

namespace rfb {

// TLS through GnuTLS over the stream beneath: records are read from `below` (what the reader
// had buffered, then the connection) and written to `beneath`. Constructing it runs the
// handshake; failures are RFBError::secureConnectionFailed with GnuTLS's own words, or what the
// stream beneath threw (closed, timed out, cancelled).
class TLSStream final : public RFBStream {
  public:
    struct Options {
        // Anonymous key exchange (no certificate, encryption without authentication), or the
        // server's certificate, checked against the system's authorities and `caFiles` for
        // `serverName`.
        bool anonymous = true;
        std::string serverName;
        std::vector<std::string> caFiles;
    };

    TLSStream(RFBInput& below, RFBStream& beneath, const Options& options);
    ~TLSStream() override;
    TLSStream(const TLSStream&) = delete;
    TLSStream& operator=(const TLSStream&) = delete;

    std::size_t receive(std::span<std::uint8_t> space) override;
    // A record that cannot be written is dropped, as the connection drops what it cannot send;
    // the receiving side then fails.
    void send(std::span<const std::uint8_t> bytes) override;

    // "TLS 1.3" and the like.
    std::string version() const;
    // The server's certificate and what the checks found; none for anonymous TLS.
    const std::optional<RFBIdentity>& identity() const { return identity_; }

  private:
    struct Session;
    [[noreturn]] void fail(int code, const std::string& during);
    void checkPeer(const Options& options);

    RFBInput& below_;
    RFBStream& beneath_;
    std::unique_ptr<Session> session_;
    // What the stream beneath threw inside GnuTLS's callbacks, rethrown once GnuTLS returns.
    std::exception_ptr belowFailed_;
    std::mutex sendMutex_;
    std::optional<RFBIdentity> identity_;
};

}  // namespace rfb
