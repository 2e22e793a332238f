#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstring>

#include "TessaralApp.hpp"

namespace {

constexpr const char* usage = "usage: tessaral [vnc://[user[:password]@]host[:port]]\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they need no display.
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
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fputs(usage, stderr);
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tessaral"));
    QApplication::setApplicationName(QStringLiteral("Tessaral"));
    QApplication::setApplicationVersion(QStringLiteral(TESSARAL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.tessaral.Tessaral"));

    tessaral::TessaralApp app;
    app.showLibrary();
    if (argc == 2) {
        app.openLink(QString::fromLocal8Bit(argv[1]));
    }
    return QApplication::exec();
}
