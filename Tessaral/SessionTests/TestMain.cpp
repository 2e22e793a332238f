#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    // Images, fonts and key events need a GUI application, but the tests must run without a
    // display; an explicit choice of platform is still respected.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    // Everything a session finds through QStandardPaths or QSettings lands in a folder of this
    // run, never in the user's own configuration or data.
    char scratch[] = "/tmp/tessaral-session-tests-XXXXXX";
    if (::mkdtemp(scratch) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(scratch);
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                 "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = root + u'/' + QString::fromLatin1(variable);
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ::setenv(variable, QFile::encodeName(path).constData(), 1);
    }

    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    QDir(root).removeRecursively();
    return result;
}
