// TLS against real servers: TigerVNC's Xvnc with each VeNCrypt subtype it serves, on certificates
// made here (from a test authority, self-signed, expired, for another name), x11vnc's VeNCrypt
// over OpenSSL, QEMU's TLS credentials, vino's anonymous TLS and wayvnc's X509Plain. The pictures
// through TLS are exact, and every identity is either vouched for by an authority, or accepted by
// the user, or refused with itself attached.

#include <gtest/gtest.h>

#include <filesystem>

#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Problems = std::vector<RFBTrustProblem>;

// Made once with openssl: a test authority and the certificates the servers present.
struct Certificates {
    Certificates() {
        const auto openssl = [](const std::vector<std::string>& arguments) {
            std::vector<std::string> argv{"openssl"};
            argv.insert(argv.end(), arguments.begin(), arguments.end());
            const CommandResult result = run(argv, {}, 60s);
            if (result.exitCode != 0) {
                throw std::runtime_error("openssl: " + result.err);
            }
        };
        const std::string names =
            folder.file("names.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
        const std::string elsewhere =
            folder.file("elsewhere.ext", "subjectAltName=DNS:elsewhere.test\n");
        openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key("ca"), "-out",
                 authority, "-days", "30", "-subj", "/CN=Tessaral Test Authority"});
        openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key("self"), "-out",
                 pem("self"), "-days", "30", "-subj", "/CN=localhost", "-addext",
                 "subjectAltName=DNS:localhost,IP:127.0.0.1"});
        for (const auto& [name, days, extensions] : {std::tuple{"signed", "30", names},
                                                     {"expired", "-1", names},
                                                     {"elsewhere", "30", elsewhere}}) {
            openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key(name), "-out",
                     folder.file(std::string(name) + ".csr"), "-subj", "/CN=localhost"});
            openssl({"x509", "-req", "-in", folder.file(std::string(name) + ".csr"), "-CA",
                     authority, "-CAkey", key("ca"), "-CAcreateserial", "-days", days, "-extfile",
                     extensions, "-out", pem(name)});
        }
    }
    std::string pem(const std::string& name) const { return folder.file(name + ".pem"); }
    std::string key(const std::string& name) const { return folder.file(name + ".key"); }
    // Xvnc's options for `types` presenting certificate `name`.
    std::vector<std::string> xvnc(const std::string& types, const std::string& name) const {
        return {"-SecurityTypes", types, "-X509Cert", pem(name), "-X509Key", key(name)};
    }

    TemporaryDirectory folder;
    std::string authority = folder.file("ca.pem");
};

const Certificates& certificates() {
    static const Certificates made;
    return made;
}

const std::string password = "tls-test";

// The identity a first attempt was refused with, to trust in a second.
RFBIdentity refusedIdentity(const RealServer& server) {
    auto viewer = attempt(configurationFor(server.endpoint(), 15s, RFBCredentials{"", password}));
    // x11vnc, busy with the start-up probe's connection in its TLS helper, may reset the next.
    for (int again = 0; again < 3 && viewer->error &&
                        viewer->endReason().find("reset by peer") != std::string::npos;
         ++again) {
        viewer = attempt(configurationFor(server.endpoint(), 15s, RFBCredentials{"", password}));
    }
    if (!viewer->error || !viewer->error->identity()) {
        throw std::runtime_error("no identity refused: " + viewer->endReason());
    }
    return *viewer->error->identity();
}

struct TLSCase {
    const char* name;
    std::string types;        // Xvnc's -SecurityTypes
    std::string certificate;  // which of the certificates the server presents
    bool withAuthority;       // the test authority given as a CA file
    // How the session is protected, or the error it ends with and the problems of its identity.
    std::variant<RFBProtection, std::pair<RFBError::Kind, Problems>> outcome;
};

class XvncTLS : public testing::TestWithParam<TLSCase> {};

TEST_P(XvncTLS, ProtectsAndChecksAsTheSubtypeCallsFor) {
    const TLSCase& c = GetParam();
    const Certificates& made = certificates();
    const SharedServer& shared = sharedServer(
        {.password = password,
         .arguments = c.certificate.empty() ? std::vector<std::string>{"-SecurityTypes", c.types}
                                            : made.xvnc(c.types, c.certificate)});
    RFBConfiguration configuration =
        configurationFor(shared.server.endpoint(), 15s, RFBCredentials{"", password});
    if (c.withAuthority) {
        configuration.caFiles = {made.authority};
    }
    if (const auto* protection = std::get_if<RFBProtection>(&c.outcome)) {
        Viewer viewer(configuration, {RFBEncoding::zrle, RFBEncoding::cursor});
        EXPECT_EQ(
            viewer.expectFrame(expectedFrame(shared.screen, RFBQuality::full, ServerKind::xvnc)),
            "");
        ASSERT_TRUE(viewer.info);
        EXPECT_EQ(viewer.info->protection, *protection);
        return;
    }
    const auto& [kind, problems] = std::get<1>(c.outcome);
    const auto viewer = attempt(configuration);
    ASSERT_TRUE(viewer->error) << viewer->endReason();
    EXPECT_EQ(viewer->error->kind(), kind) << viewer->endReason();
    ASSERT_TRUE(viewer->error->identity());
    EXPECT_EQ(viewer->error->identity()->problems, problems);
}

const RFBProtection anonymous{true, "TLS 1.2", RFBProtection::Identity::none};
const RFBProtection verified{true, "TLS 1.3", RFBProtection::Identity::verified};
const auto untrusted = RFBError::Kind::identityNotTrusted;

INSTANTIATE_TEST_SUITE_P(
    Subtypes, XvncTLS,
    testing::Values(TLSCase{"DefaultTLSVnc", "TLSVnc,VncAuth", "", false, anonymous},
                    TLSCase{"TLSNone", "TLSNone", "", false, anonymous},
                    TLSCase{"X509VncFromTheAuthority", "X509Vnc", "signed", true, verified},
                    TLSCase{"X509NoneFromTheAuthority", "X509None", "signed", true, verified},
                    TLSCase{"UnknownAuthority", "X509None", "signed", false,
                            std::pair{untrusted, Problems{RFBTrustProblem::unknownIssuer}}},
                    TLSCase{"SelfSigned", "X509Vnc", "self", true,
                            std::pair{untrusted, Problems{RFBTrustProblem::selfSigned}}},
                    TLSCase{"Expired", "X509None", "expired", true,
                            std::pair{untrusted, Problems{RFBTrustProblem::expired}}},
                    TLSCase{"AnotherName", "X509None", "elsewhere", true,
                            std::pair{untrusted, Problems{RFBTrustProblem::otherName}}}),
    [](const auto& param) { return std::string(param.param.name); });

// An identity the user accepted, remembered or by its fingerprint, connects; another one in its
// place is refused as changed, with the new one attached.
TEST(XvncTLSTrust, AcceptedIdentitiesConnectAndAChangedOneIsRefused) {
    const Certificates& made = certificates();
    RealServer selfSigned({.password = password, .arguments = made.xvnc("X509Vnc", "self")});
    const RFBIdentity identity = refusedIdentity(selfSigned);
    const CommandResult openssl =
        run({"openssl", "x509", "-in", made.pem("self"), "-noout", "-fingerprint", "-sha256"});
    EXPECT_EQ("sha256 Fingerprint=" + identity.fingerprint() + "\n", openssl.out);

    RFBConfiguration remembered =
        configurationFor(selfSigned.endpoint(), 15s, RFBCredentials{"", password});
    remembered.trustedIdentity = identity;
    RFBConfiguration byFingerprint = remembered;
    byFingerprint.trustedIdentity.reset();
    byFingerprint.trustedFingerprint = identity.fingerprint();
    for (const RFBConfiguration& configuration : {remembered, byFingerprint}) {
        const auto viewer = attempt(configuration);
        ASSERT_TRUE(viewer->info) << viewer->endReason();
        EXPECT_EQ(viewer->info->protection.identity, RFBProtection::Identity::trustedByUser);
    }

    RealServer other({.password = password, .arguments = made.xvnc("X509Vnc", "elsewhere")});
    remembered.endpoint = other.endpoint();
    const auto changed = attempt(remembered);
    ASSERT_TRUE(changed->error && changed->error->identity()) << changed->endReason();
    EXPECT_EQ(changed->error->kind(), RFBError::Kind::identityChanged);
    EXPECT_FALSE(changed->error->identity()->sameAs(identity));
}

// Encryption required: a server offering only clear sessions is refused before any password.
TEST(XvncTLSTrust, RequiredEncryptionRefusesAClearServer) {
    const SharedServer& clear = sharedServer({.password = password});
    RFBConfiguration configuration =
        configurationFor(clear.server.endpoint(), 15s, RFBCredentials{"", password});
    configuration.requireEncryption = true;
    EXPECT_EQ(attempt(configuration)->error, RFBError::encryptionRequired());
}

// The command line: an untrusted identity exits with 4 and its fingerprint on a line of its own;
// --trust with that fingerprint, written any way, accepts it for the run.
TEST(XvncTLSTrust, SnapshotToolPrintsAndTakesFingerprints) {
    const Certificates& made = certificates();
    RealServer server({.arguments = made.xvnc("X509None", "self")});
    const std::string address = "vnc://127.0.0.1:" + std::to_string(server.port());
    const std::string png = server.file("shot.png");
    const CommandResult refused = run({TESSARAL_SNAPSHOT, address, png});
    EXPECT_EQ(refused.exitCode, 4);
    const std::string reason = "The identity of the remote computer can\u2019t be verified.\n";
    ASSERT_TRUE(refused.err.starts_with(reason)) << refused.err;
    std::string fingerprint = refused.err.substr(reason.size());
    ASSERT_EQ(fingerprint.size(), 32 * 3);
    fingerprint.pop_back();
    std::erase(fingerprint, ':');
    const CommandResult trusted =
        run({TESSARAL_SNAPSHOT, "--stats", "--trust", fingerprint, address, png});
    EXPECT_EQ(trusted.exitCode, 0) << trusted.err;
    EXPECT_NE(trusted.out.find("\nSecurity: TLS 1.3, identity trusted by fingerprint\n"),
              std::string::npos)
        << trusted.out;
}

// OpenSSL on the other side: x11vnc's VeNCrypt with its own throwaway certificate.
TEST(X11vncTLS, VeNCryptWithACertificateTrustedByItsFingerprint) {
    RealServer server(
        {.kind = ServerKind::x11vnc, .arguments = {"-ssl", "TMP", "-anontls", "never"}});
    const RFBIdentity identity = refusedIdentity(server);
    // Made for no name in particular, and by itself.
    EXPECT_EQ(identity.problems,
              (Problems{RFBTrustProblem::selfSigned, RFBTrustProblem::otherName}));
    RFBConfiguration configuration = configurationFor(server.endpoint(), 30s);
    configuration.trustedFingerprint = identity.fingerprint();
    const Picture screen = server.showPattern();
    Viewer viewer(configuration, {RFBEncoding::zrle, RFBEncoding::cursor});
    EXPECT_EQ(viewer.expectFrame(expectedFrame(screen, RFBQuality::full, ServerKind::x11vnc)), "");
    EXPECT_EQ(viewer.info->protection.identity, RFBProtection::Identity::trustedByUser);
}

// A server started by hand on `port` of loopback, once it accepts connections.
bool acceptsOn(int port) {
    return waitUntil(
        [&] {
            const int fd = connectToLoopback(port);
            return fd >= 0 && ::close(fd) == 0;
        },
        30s);
}

RFBProtection protectionOf(int port, const std::vector<std::string>& caFiles = {}) {
    RFBConfiguration configuration = configurationFor(RFBEndpoint::host("127.0.0.1", port), 30s);
    configuration.caFiles = caFiles;
    const auto viewer = attempt(configuration);
    return viewer->info ? viewer->info->protection : RFBProtection{false, viewer->endReason()};
}

// QEMU's anonymous and certificate credentials (VeNCrypt TLSNone and X509None), and vino, whose
// type 18 asks for the security types again inside TLS and, at 3.7, sends no result after None.
TEST(OtherServersTLS, QemuAndVinoConnectProtectedAsTheyOffer) {
    const Certificates& made = certificates();
    // QEMU finds its certificates in a folder, by their names.
    TemporaryDirectory credentials;
    const std::string folder =
        std::filesystem::path(credentials.file("ca-cert.pem", fileText(made.authority)))
            .parent_path();
    credentials.file("server-cert.pem", fileText(made.pem("signed")));
    credentials.file("server-key.pem", fileText(made.key("signed")));
    for (const auto& [object, caFiles, expected] :
         {std::tuple{std::string("tls-creds-anon,id=tls,endpoint=server"),
                     std::vector<std::string>{}, anonymous},
          {"tls-creds-x509,id=tls,endpoint=server,verify-peer=no,dir=" + folder,
           std::vector<std::string>{made.authority}, verified}}) {
        const int port = freePort();
        Process qemu = Process::spawn(
            {"qemu-system-x86_64", "-nodefaults", "-machine", "none", "-display", "none", "-object",
             object, "-vnc", "127.0.0.1:" + std::to_string(port - 5900) + ",tls-creds=tls"},
            {}, credentials.file("qemu.log"));
        ASSERT_TRUE(acceptsOn(port)) << fileText(credentials.file("qemu.log"));
        EXPECT_EQ(protectionOf(port, caFiles), expected) << object;
    }

    RealServer display({.kind = ServerKind::x11vnc});
    int port = freePort();
    while (port > 50'000) {  // the highest port vino takes
        port = freePort();
    }
    display.startX({"bash", TESSARAL_VINO_SERVER, std::to_string(port)}, "vino.log");
    ASSERT_TRUE(acceptsOn(port)) << fileText(display.file("vino.log"));
    EXPECT_EQ(protectionOf(port), anonymous);
}

// wayvnc with authentication on, as Debian has it: VeNCrypt X509Plain, where the user name and
// the password travel inside TLS only.
TEST(OtherServersTLS, WayvncAsksForAUserAndAPasswordInsideTLS) {
    const Certificates& made = certificates();
    const int port = freePort();
    TemporaryDirectory logs;
    Process wayvnc = Process::spawn({"bash", TESSARAL_WAYVNC_SERVER, std::to_string(port),
                                     made.pem("self"), made.key("self"), "ann", password},
                                    {}, logs.file("wayvnc.log"));
    ASSERT_TRUE(acceptsOn(port)) << fileText(logs.file("wayvnc.log"));
    RFBConfiguration configuration =
        configurationFor(RFBEndpoint::host("127.0.0.1", port), 30s, RFBCredentials{"", password});
    EXPECT_EQ(attempt(configuration)->error,
              RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword));
    configuration.credentials = RFBCredentials{"ann", password};
    const auto refused = attempt(configuration);
    ASSERT_TRUE(refused->error && refused->error->identity()) << refused->endReason();
    configuration.trustedFingerprint = refused->error->identity()->fingerprint();
    const auto viewer = attempt(configuration, [](const Picture& frame) {
        return frame.width == 640 && frame.height == 480;
    });
    ASSERT_TRUE(viewer->info) << viewer->endReason();
    EXPECT_EQ(viewer->info->protection,
              (RFBProtection{true, "TLS 1.3", RFBProtection::Identity::trustedByUser}));
}

}  // namespace
