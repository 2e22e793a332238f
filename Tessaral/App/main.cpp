#include <QApplication>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SSHGateway.hpp"
#include "SingleInstance.hpp"
#include "TessaralApp.hpp"

namespace {

constexpr const char* usage = "usage: tessaral [vnc://[user[:password]@]host[:port]]...\n";

}  // namespace

int main(int argc, char** argv) {
    // Started by ssh to ask the user something: the session that started ssh shows the question.
    if (std::getenv(rfb::askpassSocketVariable) != nullptr) {
        return rfb::runAskpass(argc > 1 ? argv[1] : "");
    }
    // Answered before Qt starts, so that they need no display and never reach a running Tessaral.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tessaral %s\n", TESSARAL_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            std::fputs(usage, stderr);
            return 2;
        }
    }

    // X11 window managers find the desktop entry by the window's WM_CLASS, whose instance part Qt
    // takes from here (Wayland uses the desktop file name set below).
    if (!qEnvironmentVariableIsSet("RESOURCE_NAME")) {
        qputenv("RESOURCE_NAME", "org.tessaral.Tessaral");
    }
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tessaral"));
    QApplication::setApplicationName(QStringLiteral("Tessaral"));
    QApplication::setApplicationVersion(QStringLiteral(TESSARAL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.tessaral.Tessaral"));

    // A browser opening a vnc:// link, or a second start from the menu, starts another process;
    // the library stays with the first.
    const QStringList arguments = QApplication::arguments().mid(1);
    tessaral::SingleInstance instance;
    switch (instance.claim(arguments)) {
        case tessaral::SingleInstance::Outcome::HandedOver:
            return 0;
        case tessaral::SingleInstance::Outcome::Failed:
            std::fprintf(stderr, "tessaral: %s\n", qPrintable(instance.message()));
            return 1;
        case tessaral::SingleInstance::Outcome::Owner:
            break;
    }

    tessaral::TessaralApp app;
    QObject::connect(&instance, &tessaral::SingleInstance::argumentsReceived, &app,
                     &tessaral::TessaralApp::openArguments);
    app.openArguments(arguments);
    return QApplication::exec();
}
