#include "TLSStream.hpp"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "Log.hpp"
#include "RFBError.hpp"

namespace rfb {

namespace {

bool isAddress(const std::string& host) {
    in6_addr address;
    return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

class Certificate {
  public:
    explicit Certificate(const gnutls_datum_t& der) {
        if (gnutls_x509_crt_init(&certificate_) < 0 ||
            gnutls_x509_crt_import(certificate_, &der, GNUTLS_X509_FMT_DER) < 0) {
            throw RFBError::secureConnectionFailed("the server’s certificate can’t be read");
        }
    }
    ~Certificate() { gnutls_x509_crt_deinit(certificate_); }
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;
    gnutls_x509_crt_t get() const { return certificate_; }

  private:
    gnutls_x509_crt_t certificate_ = nullptr;
};

// What the checks of `status` and of the certificate itself found, each once. The time and the
// name are checked here as well: the system's verification stops at the first certificate it
// cannot chain, before looking at either.
std::vector<RFBTrustProblem> problemsOf(unsigned status, const gnutls_datum_t& der,
                                        const std::string& serverName) {
    const Certificate certificate(der);
    std::vector<RFBTrustProblem> problems;
    if (status & GNUTLS_CERT_SIGNER_NOT_FOUND) {
        problems.push_back(gnutls_x509_crt_check_issuer(certificate.get(), certificate.get()) == 1
                               ? RFBTrustProblem::selfSigned
                               : RFBTrustProblem::unknownIssuer);
    }
    const std::time_t now = std::time(nullptr);
    if ((status & GNUTLS_CERT_EXPIRED) ||
        gnutls_x509_crt_get_expiration_time(certificate.get()) < now) {
        problems.push_back(RFBTrustProblem::expired);
    }
    if ((status & GNUTLS_CERT_NOT_ACTIVATED) ||
        gnutls_x509_crt_get_activation_time(certificate.get()) > now) {
        problems.push_back(RFBTrustProblem::notYetValid);
    }
    if ((status & GNUTLS_CERT_UNEXPECTED_OWNER) ||
        gnutls_x509_crt_check_hostname(certificate.get(), serverName.c_str()) == 0) {
        problems.push_back(RFBTrustProblem::otherName);
    }
    const unsigned explained = GNUTLS_CERT_INVALID | GNUTLS_CERT_SIGNER_NOT_FOUND |
                               GNUTLS_CERT_EXPIRED | GNUTLS_CERT_NOT_ACTIVATED |
                               GNUTLS_CERT_UNEXPECTED_OWNER;
    if ((status & ~explained) != 0 || (status != 0 && problems.empty())) {
        problems.push_back(RFBTrustProblem::invalid);
    }
    return problems;
}

}  // namespace

struct TLSStream::Session {
    ~Session() {
        if (session != nullptr) {
            gnutls_deinit(session);
        }
        if (anonymous != nullptr) {
            gnutls_anon_free_client_credentials(anonymous);
        }
        if (certificates != nullptr) {
            gnutls_certificate_free_credentials(certificates);
        }
    }

    // GnuTLS's transport: records come from the stream's reader beneath and go to the stream
    // beneath. Nothing may be thrown through GnuTLS, so a failure beneath is kept for later.
    static ssize_t pull(gnutls_transport_ptr_t self, void* data, std::size_t size) {
        auto& stream = *static_cast<TLSStream*>(self);
        try {
            if (stream.below_.available() == 0) {
                stream.below_.ensure(1);
            }
            const std::size_t count = std::min(size, stream.below_.available());
            std::memcpy(data, stream.below_.data(), count);
            stream.below_.advance(count);
            return static_cast<ssize_t>(count);
        } catch (...) {
            stream.belowFailed_ = std::current_exception();
            gnutls_transport_set_errno(stream.session_->session, EIO);
            return -1;
        }
    }
    static ssize_t push(gnutls_transport_ptr_t self, const void* data, std::size_t size) {
        static_cast<TLSStream*>(self)->beneath_.send(
            {static_cast<const std::uint8_t*>(data), size});
        return static_cast<ssize_t>(size);
    }

    gnutls_session_t session = nullptr;
    gnutls_anon_client_credentials_t anonymous = nullptr;
    gnutls_certificate_credentials_t certificates = nullptr;
};

TLSStream::TLSStream(RFBInput& below, RFBStream& beneath, const Options& options)
    : below_(below), beneath_(beneath), session_(std::make_unique<Session>()) {
    Session& s = *session_;
    const auto setUp = [this](int result) {
        if (result < 0) {
            fail(result, "TLS could not be set up");
        }
    };
    setUp(gnutls_init(&s.session, GNUTLS_CLIENT));
    const char* priorities = "NORMAL";
    if (options.anonymous) {
        setUp(gnutls_anon_allocate_client_credentials(&s.anonymous));
        setUp(gnutls_credentials_set(s.session, GNUTLS_CRD_ANON, s.anonymous));
        // Anonymous key exchange ends with TLS 1.2. Servers follow the client's order, and DH
        // comes first for its AES-GCM suites: anonymous ECDH has only CBC with SHA-1, which costs
        // a whole-screen session at full speed three times the CPU.
        priorities = "NORMAL:+ANON-DH:+ANON-ECDH:-VERS-TLS1.3";
    } else {
        setUp(gnutls_certificate_allocate_credentials(&s.certificates));
        // A system without a trust store trusts no authority: every certificate is then the
        // user's to accept.
        gnutls_certificate_set_x509_system_trust(s.certificates);
        for (const std::string& file : options.caFiles) {
            if (gnutls_certificate_set_x509_trust_file(s.certificates, file.c_str(),
                                                       GNUTLS_X509_FMT_PEM) <= 0) {
                throw RFBError::secureConnectionFailed(
                    "no certificate authority could be read "
                    "from " +
                    file);
            }
        }
        setUp(gnutls_credentials_set(s.session, GNUTLS_CRD_CERTIFICATE, s.certificates));
        // Server names are sent for host names only, never for addresses.
        if (!options.serverName.empty() && !isAddress(options.serverName)) {
            setUp(gnutls_server_name_set(s.session, GNUTLS_NAME_DNS, options.serverName.data(),
                                         options.serverName.size()));
        }
    }
    setUp(gnutls_priority_set_direct(s.session, priorities, nullptr));
    gnutls_transport_set_ptr(s.session, this);
    gnutls_transport_set_pull_function(s.session, &Session::pull);
    gnutls_transport_set_push_function(s.session, &Session::push);

    int result;
    do {
        result = gnutls_handshake(s.session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0);
    if (result < 0) {
        fail(result, "the TLS handshake failed");
    }
    if (!options.anonymous) {
        checkPeer(options);
    }
}

TLSStream::~TLSStream() = default;

void TLSStream::checkPeer(const Options& options) {
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session_->session, &count);
    if (chain == nullptr || count == 0) {
        throw RFBError::secureConnectionFailed("the server sent no certificate");
    }
    unsigned status = 0;
    const int result = gnutls_certificate_verify_peers3(
        session_->session, options.serverName.empty() ? nullptr : options.serverName.c_str(),
        &status);
    if (result < 0) {
        fail(result, "the server’s certificate could not be checked");
    }
    identity_ = RFBIdentity{RFBIdentity::Kind::certificate,
                            {chain[0].data, chain[0].data + chain[0].size},
                            problemsOf(status, chain[0], options.serverName)};
}

std::size_t TLSStream::receive(std::span<std::uint8_t> space) {
    for (;;) {
        const ssize_t count = gnutls_record_recv(session_->session, space.data(), space.size());
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
        if (count == 0) {
            throw RFBError::connectionClosed();
        }
        // A server's wish to renegotiate is declined by carrying on.
        if (count != GNUTLS_E_AGAIN && count != GNUTLS_E_INTERRUPTED &&
            count != GNUTLS_E_REHANDSHAKE) {
            fail(static_cast<int>(count), "the server’s data could not be decrypted");
        }
    }
}

void TLSStream::send(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(sendMutex_);
    while (!bytes.empty()) {
        const ssize_t count = gnutls_record_send(session_->session, bytes.data(), bytes.size());
        if (count == GNUTLS_E_AGAIN || count == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (count < 0) {
            log(LogLevel::debug,
                std::string("Send failed: ") + gnutls_strerror(static_cast<int>(count)));
            return;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
    }
}

std::string TLSStream::version() const {
    std::string name = gnutls_protocol_get_name(gnutls_protocol_get_version(session_->session));
    if (name.starts_with("TLS") && name.size() > 3 && name[3] != ' ') {
        name.insert(3, " ");
    }
    return name;
}

void TLSStream::fail(int code, const std::string& what) {
    if (belowFailed_) {
        std::rethrow_exception(std::exchange(belowFailed_, nullptr));
    }
    if (code == GNUTLS_E_PREMATURE_TERMINATION) {
        throw RFBError::connectionClosed();
    }
    throw RFBError::secureConnectionFailed(what + " (" + gnutls_strerror(code) + ")");
}

}  // namespace rfb
