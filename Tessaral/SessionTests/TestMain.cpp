#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    // No display is needed, and no test may touch the user's own preferences or library.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char scratch[] = "/tmp/tessaral-session-tests-XXXXXX";
    if (::mkdtemp(scratch) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(scratch);
    for (const char* variable :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
        const QString path = root + u'/' + QString::fromLatin1(variable);
        QDir().mkpath(path);
        ::setenv(variable, QFile::encodeName(path).constData(), 1);
    }

    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    QDir(root).removeRecursively();
    return result;
}
