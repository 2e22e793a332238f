// Checked over plain D-Bus: a library reading back its own writing would hide its mistakes.

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <mutex>

#include "Model/ConnectionStore.hpp"
#include "Model/SecretServiceKeychain.hpp"

inline void PrintTo(const QDBusObjectPath& path, std::ostream* out) {
    *out << path.path().toStdString();
}

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using Attributes = QMap<QString, QString>;

// The Secret Service over plain D-Bus, in a "plain" (unencrypted) session: the bus is private.
class SecretServiceProbe {
  public:
    SecretServiceProbe() {
        qDBusRegisterMetaType<Attributes>();
        const auto reply =
            service(u"OpenSession"_s, {u"plain"_s, QVariant::fromValue(QDBusVariant(u""_s))});
        session_ = reply.value(1).value<QDBusObjectPath>();
    }
    bool connected() const { return !session_.path().isEmpty(); }
    // Every item whose service and account are those of this computer, locked or not.
    QList<QDBusObjectPath> items(const QUuid& id) {
        QList<QDBusObjectPath> found;
        for (const QVariant& list : service(u"SearchItems"_s, {QVariant::fromValue(key(id))})) {
            found += qdbus_cast<QList<QDBusObjectPath>>(list);
        }
        return found;
    }
    QString label(const QDBusObjectPath& item) {
        const auto reply = call(item.path(), u"org.freedesktop.DBus.Properties"_s, u"Get"_s,
                                {u"org.freedesktop.Secret.Item"_s, u"Label"_s});
        return reply.value(0).value<QDBusVariant>().variant().toString();
    }
    // The value of the secret structure (session, parameters, value, content type).
    QByteArray secret(const QDBusObjectPath& item) {
        const auto reply = call(item.path(), u"org.freedesktop.Secret.Item"_s, u"GetSecret"_s,
                                {QVariant::fromValue(session_)});
        const auto secret = reply.value(0).value<QDBusArgument>();
        QDBusObjectPath session;
        QByteArray parameters, value;
        secret.beginStructure();
        secret >> session >> parameters >> value;
        secret.endStructure();
        return value;
    }
    // An item made the way another program would: the same key, its own label, no schema name.
    QDBusObjectPath create(const QUuid& id, const QString& label, const QByteArray& bytes) {
        const QVariantMap properties{
            {u"org.freedesktop.Secret.Item.Label"_s, label},
            {u"org.freedesktop.Secret.Item.Attributes"_s, QVariant::fromValue(key(id))},
        };
        const auto reply = call(collection(), u"org.freedesktop.Secret.Collection"_s,
                                u"CreateItem"_s, {properties, secret(bytes), false});
        return reply.value(0).value<QDBusObjectPath>();
    }
    // As the desktop locks the keyring: reading it again needs the user's password.
    void lock() { service(u"Lock"_s, {QVariant::fromValue(QList{QDBusObjectPath(collection())})}); }
    // With the password that scripts/with-secret-service.sh gave it, without a prompt.
    void unlock() {
        call(u"/org/freedesktop/secrets"_s,
             u"org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface"_s,
             u"UnlockWithMasterPassword"_s,
             {QVariant::fromValue(QDBusObjectPath(collection())), secret("tessaral-test-keyring")});
    }

  private:
    QVariant secret(const QByteArray& bytes) const {
        QDBusArgument secret;
        secret.beginStructure();
        secret << session_ << QByteArray() << bytes << u"text/plain"_s;
        secret.endStructure();
        return QVariant::fromValue(secret);
    }
    QString collection() {
        return service(u"ReadAlias"_s, {u"default"_s}).value(0).value<QDBusObjectPath>().path();
    }
    static Attributes key(const QUuid& id) {
        return {{u"service"_s, u"org.tessaral.Tessaral.connection"_s},
                {u"account"_s, id.toString(QUuid::WithoutBraces).toUpper()}};
    }
    QVariantList service(const QString& method, const QVariantList& arguments) {
        return call(u"/org/freedesktop/secrets"_s, u"org.freedesktop.Secret.Service"_s, method,
                    arguments);
    }
    QVariantList call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments) {
        auto message =
            QDBusMessage::createMethodCall(u"org.freedesktop.secrets"_s, path, interface, method);
        message.setArguments(arguments);
        const auto reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 10'000);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << method.toStdString() << ": " << reply.errorMessage().toStdString();
        return reply.arguments();
    }

    QDBusObjectPath session_;
};

// Stands in for the desktop's unlock dialog, which the keyring asks for over the bus, as a user
// who has not answered yet: every prompt stays open until dismissed, and later ones are refused
// at once. The bus may call from a thread of its own.
class UnansweredPrompts : public QDBusVirtualObject {
  public:
    UnansweredPrompts() {
        bus_.registerService(name_);
        bus_.registerVirtualObject(path_, this);
    }
    ~UnansweredPrompts() override {
        dismiss();
        bus_.unregisterObject(path_);
        bus_.unregisterService(name_);
    }
    bool asked() {
        std::lock_guard lock(mutex_);
        return !open_.isEmpty();
    }
    void dismiss() {
        std::lock_guard lock(mutex_);
        dismissed_ = true;
        for (const QDBusMessage& prompt : std::exchange(open_, {})) {
            refuse(prompt);
        }
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& prompt, const QDBusConnection&) override {
        std::lock_guard lock(mutex_);
        dismissed_ ? refuse(prompt) : open_.append(prompt);
        return true;
    }

  private:
    void refuse(const QDBusMessage& prompt) {
        bus_.send(prompt.createErrorReply(QDBusError::AccessDenied, u"dismissed"_s));
    }

    QDBusConnection bus_ = QDBusConnection::sessionBus();
    const QString name_ = u"org.gnome.keyring.SystemPrompter"_s;
    const QString path_ = u"/org/gnome/keyring/Prompter"_s;
    std::mutex mutex_;
    QList<QDBusMessage> open_;
    bool dismissed_ = false;
};

class SecretServiceKeychainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("TESSARAL_SECRET_SERVICE") != u"running"_s) {
            GTEST_SKIP() << "needs a Secret Service: run under scripts/with-secret-service.sh";
        }
        ASSERT_TRUE(probe_.emplace().connected());
    }
    void TearDown() override {
        if (probe_) {
            keychain_.deletePassword(id_);
        }
    }

    std::optional<SecretServiceProbe> probe_;
    SecretServiceKeychain keychain_;
    const QUuid id_ = QUuid::createUuid();
    // The application's way to the same keychain, and a library that uses it.
    const QTemporaryDir folder_;
    KeychainService service_{std::make_shared<SecretServiceKeychain>()};
    ConnectionStore store_{service_, folder_.path()};
};

TEST_F(SecretServiceKeychainTest, CreatesOneLabelledItemAndUpdatesItInPlace) {
    EXPECT_EQ(keychain_.password(id_), std::nullopt);
    ASSERT_TRUE(keychain_.setPassword(id_, u"first secret"_s));
    const QList<QDBusObjectPath> created = probe_->items(id_);
    ASSERT_EQ(created.size(), 1);
    EXPECT_EQ(probe_->label(created[0]), u"Tessaral connection password"_s);
    EXPECT_EQ(probe_->secret(created[0]), "first secret");

    // Stored as UTF-8: Latin-1, a combining mark, CJK and a character beyond 16 bits.
    const QString second = u"p\u00E4ssw\u00F6rd e\u0301 \u5BC6\u7801 \U0001F511"_s;
    ASSERT_TRUE(keychain_.setPassword(id_, second));
    EXPECT_EQ(probe_->items(id_), created);
    EXPECT_EQ(probe_->secret(created[0]), second.toUtf8());
    EXPECT_EQ(keychain_.password(id_), second);
}

TEST_F(SecretServiceKeychainTest, ReadsAndUpdatesAnotherProgramsItemKeepingItsLabel) {
    // Not UTF-8 reads as none, also a sequence cut short at the end (a streaming decoder waits).
    for (const QByteArray& bytes : {QByteArray("\xFF\xFEpw"), QByteArray("caf\xC3")}) {
        ASSERT_FALSE(probe_->create(id_, u"Made elsewhere"_s, bytes).path().isEmpty());
        EXPECT_EQ(keychain_.password(id_), std::nullopt) << bytes.toHex().toStdString();
        EXPECT_TRUE(keychain_.deletePassword(id_));
    }
    const QDBusObjectPath item = probe_->create(id_, u"Made elsewhere"_s, "old");
    ASSERT_FALSE(item.path().isEmpty());
    EXPECT_EQ(keychain_.password(id_), u"old"_s);
    ASSERT_TRUE(keychain_.setPassword(id_, u"new"_s));
    EXPECT_EQ(probe_->items(id_), QList<QDBusObjectPath>{item});
    EXPECT_EQ(probe_->label(item), u"Made elsewhere"_s);
    EXPECT_EQ(probe_->secret(item), "new");
}

TEST_F(SecretServiceKeychainTest, EmptyOrNoPasswordDeletesThatOneAlone) {
    // Deleting what is not there succeeds.
    EXPECT_TRUE(keychain_.setPassword(id_, std::nullopt));
    const QUuid other = QUuid::createUuid();
    ASSERT_TRUE(keychain_.setPassword(other, u"kept"_s));
    for (const std::optional<QString>& none : {std::optional(u""_s), std::optional<QString>()}) {
        ASSERT_TRUE(keychain_.setPassword(id_, u"doomed"_s));
        EXPECT_TRUE(keychain_.setPassword(id_, none));
        EXPECT_TRUE(probe_->items(id_).isEmpty());
    }
    EXPECT_EQ(keychain_.password(other), u"kept"_s);
    EXPECT_TRUE(keychain_.deletePassword(other));
}

// The copy a duplicate asks for is queued before the delete that follows it at once, so it cannot
// leave a secret behind for a computer that is gone.
TEST_F(SecretServiceKeychainTest, DuplicateThenDeleteAtOnceLeavesNoSecretBehind) {
    ASSERT_TRUE(keychain_.setPassword(id_, u"secret"_s));
    Connection original;
    original.id = id_;
    store_.upsert(original);
    for (int round = 0; round < 5; ++round) {
        const Connection copy = store_.duplicate(original);
        store_.deleteConnections({copy.id});
        service_.waitForDone();
        EXPECT_TRUE(probe_->items(copy.id).isEmpty()) << "round " << round;
    }
    EXPECT_EQ(keychain_.password(id_), u"secret"_s);
}

// A locked keyring asks the user before it answers. Until then the library and its windows go
// on: reading, storing and deleting return at once, and the answer arrives when the prompt is
// dismissed.
TEST_F(SecretServiceKeychainTest, ALockedKeyringWaitingForItsUserHoldsUpNoWindow) {
    ASSERT_TRUE(keychain_.setPassword(id_, u"secret"_s));
    UnansweredPrompts prompts;
    probe_->lock();
    const QUuid other = QUuid::createUuid();

    QObject window;
    std::optional<std::optional<QString>> answer;
    QElapsedTimer clock;
    clock.start();
    service_.lookUp(id_, &window,
                    [&](const std::optional<QString>& password) { answer = password; });
    service_.store(other, u"typed"_s);
    store_.deleteConnections({id_, other});
    EXPECT_LT(clock.elapsed(), 500);
    ASSERT_TRUE(QTest::qWaitFor([&] { return prompts.asked(); }, 10'000));
    QTest::qWait(300);
    EXPECT_FALSE(answer);

    prompts.dismiss();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 20'000));
    EXPECT_EQ(*answer, std::nullopt);
    probe_->unlock();
    service_.waitForDone();
}

// CTest runs it without a session bus and on a bus where nobody serves secrets.
TEST(SecretServiceKeychainUnavailableTest, ReadsGiveNoneAndWritesReportFalsePromptly) {
    if (qEnvironmentVariable("TESSARAL_SECRET_SERVICE") != u"none"_s) {
        GTEST_SKIP() << "needs TESSARAL_SECRET_SERVICE=none and no Secret Service";
    }
    SecretServiceKeychain keychain;
    const QUuid id = QUuid::createUuid();
    // A bus call left waiting would take 25 s. Unknown contents make deleting no success either.
    const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
        {"read", [&] { return keychain.password(id).has_value(); }},
        {"write", [&] { return keychain.setPassword(id, u"secret"_s); }},
        {"clear", [&] { return keychain.setPassword(id, std::nullopt); }},
    };
    for (const auto& [name, call] : calls) {
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(call()) << name;
        EXPECT_LT(timer.elapsed(), 3000) << name;
    }
}

}  // namespace
}  // namespace tessaral
