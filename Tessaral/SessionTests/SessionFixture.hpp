#pragma once

#include <QImage>
#include <QTemporaryDir>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "FakeKeychain.hpp"
#include "LocalClipboard.hpp"
#include "Model/ConnectionStore.hpp"
#include "VNCSession.hpp"

namespace tessaral {
namespace testing {

// The local clipboard, in memory.
class MemoryClipboard final : public LocalClipboard {
  public:
    long changeCount() const override { return changes_; }
    std::optional<QString> text() const override { return text_; }
    void setText(const QString& text) override {
        text_ = text;
        ++changes_;
    }

  private:
    std::optional<QString> text_;
    long changes_ = 0;
};

// Reads wait while closed, as with a locked keyring whose unlock prompt is still open.
class GatedKeychain final : public Keychain {
  public:
    std::optional<QString> password(const QUuid& id) const override {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
        return inner.password(id);
    }
    bool setPassword(const QUuid& id, const std::optional<QString>& password) override {
        return inner.setPassword(id, password);
    }
    void setOpen(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        opened_.notify_all();
    }

    FakeKeychain inner;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable opened_;
    bool open_ = true;
};

}  // namespace testing

// A saved computer "Studio" and a session for it that never connects, put into the state a test
// needs; a friend of the session, it also records what a session asks of its client. Nothing
// listens at the computer's address: an attempt that a test starts fails at once, on this machine.
struct VNCSessionTesting {
    VNCSessionTesting() : store(keychain, folder.path()) {
        connection.name = QStringLiteral("Studio");
        connection.host = QStringLiteral("127.0.0.1");
        connection.port = 1;
        store.upsert(connection);
        session = std::make_unique<VNCSession>(connection, store, identities, keychain, clipboard,
                                               rfb::RFBCredentials{"", "secret"});
    }
    void set(const VNCSession::State& state, bool withFrame = false, bool observeOnly = false) {
        setFrame(withFrame ? QImage(64, 48, QImage::Format_RGB32) : QImage(), {});
        session->options_.observeOnly = observeOnly;
        emit session->optionsChanged();
        session->setState(state);
    }
    void setFrame(const QImage& frame, const QRegion& damage) { setFrame(*session, frame, damage); }
    // Also for a session made elsewhere, such as a window's own.
    static void setState(VNCSession& session, const VNCSession::State& state) {
        session.setState(state);
    }
    static void setFrame(VNCSession& session, const QImage& frame, const QRegion& damage) {
        session.lastFrame_ = frame;
        session.frameSize_ = frame.size();
        session.frameDamage_ = damage;
        ++session.frameNumber_;
        emit session.frameChanged();
    }
    static void recordClientCalls(VNCSession& session, QStringList& calls) {
        session.clientCalls_ = [&calls](const QString& call) { calls.append(call); };
    }
    // The attempt ends as the client would end it.
    void end(const rfb::RFBError& error) { session->handleDisconnected(error); }
    void setServerInfo(const rfb::RFBServerInfo& info) {
        session->serverInfo_ = info;
        emit session->serverInfoChanged();
    }
    // What the next attempt's client is given.
    rfb::RFBConfiguration configuration() const { return session->clientConfiguration(); }

    QTemporaryDir folder;
    testing::TestKeychain<> keychain;
    testing::MemoryClipboard clipboard;
    ConnectionStore store;
    IdentityStore identities{folder.path()};
    Connection connection;
    std::unique_ptr<VNCSession> session;
};

}  // namespace tessaral
