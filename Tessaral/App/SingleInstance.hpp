#pragma once

#include <QObject>
#include <QStringList>
#include <memory>

class QLocalServer;

namespace tessaral {

// One process per user owns the library: two processes rewriting "Library.json" would lose each
// other's changes. The first launch becomes the owner; every later launch hands its arguments to
// the owner and exits. The session D-Bus carries the hand-over where there is one (taking the
// bus name is atomic); without it a local socket in the user's runtime folder does, with a lock
// file around "is anybody listening, else listen" so that two launches at once cannot both win.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tessaral.Tessaral")

  public:
    enum class Outcome {
        Owner,       // this process owns the library; later arguments arrive as signals
        HandedOver,  // the owner has the arguments; this process should exit
        Failed,      // an owner exists but did not take them (message() says why)
    };

    static constexpr const char* serviceName = "org.tessaral.Tessaral";
    static constexpr const char* objectPath = "/org/tessaral/Tessaral";

    // Needs a QCoreApplication. `socketDirectory` overrides the runtime folder (for tests).
    explicit SingleInstance(const QString& socketDirectory = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    Outcome claim(const QStringList& arguments);
    QString message() const { return message_; }

    // The local socket's path in the runtime folder, per user by being in that folder.
    QString socketPath() const;

  signals:
    // Arguments of a later launch, in the owner.
    void argumentsReceived(const QStringList& arguments);

  public slots:
    // The D-Bus method later launches call.
    Q_SCRIPTABLE void Open(const QStringList& arguments);

  private:
    enum class Attempt { Owner, HandedOver, TryAgain, Failed };
    Attempt claimOnBus(const QStringList& arguments);
    Attempt claimLocally(const QStringList& arguments);
    bool sendLocally(const QStringList& arguments);
    void receiveLocally();

    QString socketDirectory_;
    QString message_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace tessaral
