#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"

// The interrupted-save test's child, saying around each save where a kill lands.
static int saveForever(const QString& folder) {
    tessaral::testing::TestKeychain<> keychain;
    tessaral::ConnectionStore store(keychain, folder);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("ready %lld\n", static_cast<long long>(store.connections().size()));
    for (;;) {
        std::fputs("saving\n", stdout);
        store.upsert(tessaral::Connection());
        std::fputs("saved\n", stdout);
    }
}

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--save-forever") == 0) {
        return saveForever(QString::fromLocal8Bit(argv[2]));
    }
    // Preferences and libraries of the run stay in a scratch folder, never the user's own.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/tessaral-model-tests-XXXXXX"));
    for (const char* variable :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
        const QString path = scratch.filePath(QString::fromLatin1(variable));
        QDir().mkpath(path);
        qputenv(variable, QFile::encodeName(path));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
