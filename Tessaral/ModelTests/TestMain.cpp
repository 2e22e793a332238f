#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"

namespace {

// Run as a child by the interrupted-save test: saves a growing library for ever, until killed,
// telling the parent around each save so that it knows where the kill landed.
int saveForever(const QString& folder) {
    tessaral::testing::FakeKeychain keychain;
    tessaral::ConnectionStore store(keychain, folder);
    std::printf("ready %lld\n", static_cast<long long>(store.connections().size()));
    std::fflush(stdout);
    for (int n = 0;; ++n) {
        tessaral::Connection connection;
        connection.name = QStringLiteral("Added %1").arg(n);
        std::fputs("saving\n", stdout);
        std::fflush(stdout);
        store.upsert(connection);
        std::fputs("saved\n", stdout);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--save-forever") == 0) {
        // The parent test's environment already points at its own scratch folders.
        QCoreApplication application(argc, argv);
        return saveForever(QString::fromLocal8Bit(argv[2]));
    }

    // Everything the model finds through QStandardPaths or QSettings lands in a folder of this
    // run, never in the user's own configuration or data.
    char scratch[] = "/tmp/tessaral-model-tests-XXXXXX";
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

    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    QDir(root).removeRecursively();
    return result;
}
