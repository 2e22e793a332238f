// SecretServiceKeychain against a real Secret Service (gnome-keyring-daemon on a private session
// bus) and against none at all. The service-bound suites run only under
// scripts/with-secret-service.sh, which CTest does for them; run by hand without it they skip.
//
// What the keychain did is checked over D-Bus directly, not through libsecret, so that a wrong
// attribute, label or encoding on our side cannot hide behind the same library reading it back.

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QMap>
#include <QUuid>
#include <functional>
#include <ostream>

#include "Model/SecretServiceKeychain.hpp"

namespace keychaintest {

// The Secret Service's secret structure (oayays).
struct WireSecret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

inline QDBusArgument& operator<<(QDBusArgument& argument, const WireSecret& secret) {
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument& operator>>(const QDBusArgument& argument, WireSecret& secret) {
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

using Attributes = QMap<QString, QString>;

}  // namespace keychaintest

Q_DECLARE_METATYPE(keychaintest::WireSecret)

// Failure messages name the item rather than dump its bytes.
inline void PrintTo(const QDBusObjectPath& path, std::ostream* out) {
    *out << path.path().toStdString();
}

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using keychaintest::Attributes;
using keychaintest::WireSecret;

constexpr auto serviceInterface = "org.freedesktop.Secret.Service";
constexpr auto itemInterface = "org.freedesktop.Secret.Item";

// The Secret Service spoken to over plain D-Bus, with a "plain" (unencrypted) session: the bus is
// private to the test run.
class SecretServiceProbe {
  public:
    SecretServiceProbe() : bus_(QDBusConnection::sessionBus()) {
        qDBusRegisterMetaType<WireSecret>();
        qDBusRegisterMetaType<Attributes>();
        QDBusMessage reply = call(u"/org/freedesktop/secrets"_s, serviceInterface, u"OpenSession"_s,
                                  {u"plain"_s, QVariant::fromValue(QDBusVariant(QString()))});
        if (reply.arguments().size() == 2) {
            session_ = reply.arguments().at(1).value<QDBusObjectPath>();
        }
    }

    bool connected() const { return !session_.path().isEmpty(); }

    // Every item whose service and account are those of this computer, locked or not.
    QList<QDBusObjectPath> items(const QUuid& id) {
        QDBusMessage reply = call(u"/org/freedesktop/secrets"_s, serviceInterface, u"SearchItems"_s,
                                  {QVariant::fromValue(key(id))});
        QList<QDBusObjectPath> found;
        for (const QVariant& list : reply.arguments()) {
            found += qdbus_cast<QList<QDBusObjectPath>>(list);
        }
        return found;
    }

    QString label(const QDBusObjectPath& item) { return property(item, u"Label"_s).toString(); }

    Attributes attributes(const QDBusObjectPath& item) {
        return qdbus_cast<Attributes>(property(item, u"Attributes"_s));
    }

    QByteArray secret(const QDBusObjectPath& item) {
        QDBusMessage reply =
            call(item.path(), itemInterface, u"GetSecret"_s, {QVariant::fromValue(session_)});
        if (reply.arguments().isEmpty()) {
            return {};
        }
        return qdbus_cast<WireSecret>(reply.arguments().at(0)).value;
    }

    // An item made the way another program would: the same key, its own label, no schema name.
    QDBusObjectPath create(const QUuid& id, const QString& label, const QByteArray& bytes) {
        QDBusMessage alias =
            call(u"/org/freedesktop/secrets"_s, serviceInterface, u"ReadAlias"_s, {u"default"_s});
        if (alias.arguments().isEmpty()) {
            return {};
        }
        QVariantMap properties{
            {u"org.freedesktop.Secret.Item.Label"_s, label},
            {u"org.freedesktop.Secret.Item.Attributes"_s, QVariant::fromValue(key(id))},
        };
        WireSecret secret{session_, {}, bytes, u"text/plain"_s};
        QDBusMessage reply = call(alias.arguments().at(0).value<QDBusObjectPath>().path(),
                                  "org.freedesktop.Secret.Collection", u"CreateItem"_s,
                                  {properties, QVariant::fromValue(secret), false});
        if (reply.arguments().isEmpty()) {
            return {};
        }
        return reply.arguments().at(0).value<QDBusObjectPath>();
    }

  private:
    static Attributes key(const QUuid& id) {
        return {{u"service"_s, u"org.tessaral.Tessaral.connection"_s},
                {u"account"_s, id.toString(QUuid::WithoutBraces).toUpper()}};
    }

    QVariant property(const QDBusObjectPath& item, const QString& name) {
        QDBusMessage reply = call(item.path(), "org.freedesktop.DBus.Properties", u"Get"_s,
                                  {QString::fromLatin1(itemInterface), name});
        if (reply.arguments().isEmpty()) {
            return {};
        }
        return reply.arguments().at(0).value<QDBusVariant>().variant();
    }

    QDBusMessage call(const QString& path, const char* interface, const QString& method,
                      const QVariantList& arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            u"org.freedesktop.secrets"_s, path, QString::fromLatin1(interface), method);
        message.setArguments(arguments);
        QDBusMessage reply = bus_.call(message, QDBus::Block, 10'000);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            ADD_FAILURE() << method.toStdString() << " failed: " << reply.errorName().toStdString()
                          << " " << reply.errorMessage().toStdString();
        }
        return reply;
    }

    QDBusConnection bus_;
    QDBusObjectPath session_;
};

class SecretServiceKeychainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("TESSARAL_SECRET_SERVICE") != u"running"_s) {
            GTEST_SKIP() << "needs a Secret Service: run under scripts/with-secret-service.sh";
        }
        probe_.emplace();
        ASSERT_TRUE(probe_->connected());
    }

    SecretServiceProbe& probe() { return *probe_; }

    SecretServiceKeychain keychain_;
    const QUuid id_ = QUuid::createUuid();

  private:
    std::optional<SecretServiceProbe> probe_;
};

TEST_F(SecretServiceKeychainTest, CreatesOneLabelledItemAndUpdatesItInPlace) {
    EXPECT_EQ(keychain_.password(id_), std::nullopt);
    EXPECT_TRUE(probe().items(id_).isEmpty());

    ASSERT_TRUE(keychain_.setPassword(id_, u"first secret"_s));
    const QList<QDBusObjectPath> created = probe().items(id_);
    ASSERT_EQ(created.size(), 1);
    EXPECT_EQ(probe().label(created[0]), u"Tessaral connection password"_s);
    const Attributes attributes = probe().attributes(created[0]);
    EXPECT_EQ(attributes.value(u"service"_s), u"org.tessaral.Tessaral.connection"_s);
    EXPECT_EQ(attributes.value(u"account"_s), id_.toString(QUuid::WithoutBraces).toUpper());
    EXPECT_EQ(probe().secret(created[0]), "first secret");
    EXPECT_EQ(keychain_.password(id_), u"first secret"_s);

    // Stored as its UTF-8 bytes: Latin-1, a combining mark, CJK and a character outside the
    // Basic Multilingual Plane.
    const QString second = u"p\u00E4ssw\u00F6rd e\u0301 \u5BC6\u7801 \U0001F511"_s;
    ASSERT_TRUE(keychain_.setPassword(id_, second));
    EXPECT_EQ(probe().items(id_), created);
    EXPECT_EQ(probe().secret(created[0]), second.toUtf8());
    EXPECT_EQ(keychain_.password(id_), second);

    EXPECT_TRUE(keychain_.deletePassword(id_));
}

TEST_F(SecretServiceKeychainTest, UpdatingAnotherProgramsItemKeepsItsLabel) {
    const QDBusObjectPath item = probe().create(id_, u"Made elsewhere"_s, "old");
    ASSERT_FALSE(item.path().isEmpty());
    EXPECT_EQ(keychain_.password(id_), u"old"_s);

    ASSERT_TRUE(keychain_.setPassword(id_, u"new"_s));
    EXPECT_EQ(probe().items(id_), QList<QDBusObjectPath>{item});
    EXPECT_EQ(probe().label(item), u"Made elsewhere"_s);
    EXPECT_EQ(probe().secret(item), "new");

    EXPECT_TRUE(keychain_.deletePassword(id_));
}

TEST_F(SecretServiceKeychainTest, EmptyOrNoPasswordDeletes) {
    // Deleting what is not there succeeds and changes nothing.
    EXPECT_TRUE(keychain_.setPassword(id_, QString()));
    EXPECT_TRUE(keychain_.setPassword(id_, std::nullopt));
    EXPECT_TRUE(probe().items(id_).isEmpty());

    const QUuid other = QUuid::createUuid();
    ASSERT_TRUE(keychain_.setPassword(other, u"kept"_s));
    for (const std::optional<QString>& none :
         {std::optional<QString>(u""_s), std::optional<QString>()}) {
        ASSERT_TRUE(keychain_.setPassword(id_, u"doomed"_s));
        ASSERT_EQ(probe().items(id_).size(), 1);
        EXPECT_TRUE(keychain_.setPassword(id_, none));
        EXPECT_TRUE(probe().items(id_).isEmpty());
        EXPECT_EQ(keychain_.password(id_), std::nullopt);
    }
    EXPECT_EQ(keychain_.password(other), u"kept"_s);
    EXPECT_TRUE(keychain_.deletePassword(other));
}

TEST_F(SecretServiceKeychainTest, BytesThatAreNotUtf8ReadAsNone) {
    // Invalid bytes, and a sequence cut short at the end (which a streaming decoder would keep
    // waiting on rather than report).
    for (const QByteArray& bytes : {QByteArray("\xFF\xFEpw"), QByteArray("caf\xC3")}) {
        const QUuid id = QUuid::createUuid();
        ASSERT_FALSE(probe().create(id, u"Made elsewhere"_s, bytes).path().isEmpty());
        EXPECT_EQ(keychain_.password(id), std::nullopt) << bytes.toHex().toStdString();
        EXPECT_TRUE(keychain_.deletePassword(id));
    }
}

// With no Secret Service at all (run with TESSARAL_SECRET_SERVICE=none: by CTest once without a
// session bus, once on a bus where nobody serves secrets).
class SecretServiceKeychainUnavailableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("TESSARAL_SECRET_SERVICE") != u"none"_s) {
            GTEST_SKIP() << "needs TESSARAL_SECRET_SERVICE=none and no Secret Service";
        }
    }
};

TEST_F(SecretServiceKeychainUnavailableTest, ReadsGiveNoneAndWritesReportFalsePromptly) {
    SecretServiceKeychain keychain;
    const QUuid id = QUuid::createUuid();
    // Each call must fail fast: a bus call left waiting for an answer would take 25 seconds.
    // Nothing can be said about what the store holds, so deleting is not a success either.
    const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
        {"read", [&] { return keychain.password(id).has_value(); }},
        {"write", [&] { return keychain.setPassword(id, u"secret"_s); }},
        {"clear", [&] { return keychain.setPassword(id, std::nullopt); }},
        {"delete", [&] { return keychain.deletePassword(id); }},
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
