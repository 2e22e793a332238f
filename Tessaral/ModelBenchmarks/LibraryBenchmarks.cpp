#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <memory>

#include "Model/ConnectionStore.hpp"
#include "Model/Keychain.hpp"
#include "Model/LibraryFile.hpp"

namespace {

using namespace tessaral;

class NoKeychain final : public Keychain {
  public:
    std::optional<QString> password(const QUuid&) const override { return std::nullopt; }
    bool setPassword(const QUuid&, const std::optional<QString>&) override { return true; }
};

KeychainService& noKeychain() {
    static KeychainService service(std::make_shared<NoKeychain>());
    return service;
}

// 10,000 computers in 100 groups, about half of them connected once, some found nearby.
Library largeLibrary() {
    Library library;
    for (int g = 0; g < 100; ++g) {
        library.groups.push_back({QUuid::createUuid(), QStringLiteral("Group %1").arg(g)});
    }
    const QDateTime created = QDateTime::fromSecsSinceEpoch(1'740'000'000, Qt::UTC);
    for (int i = 0; i < 10'000; ++i) {
        Connection connection;
        connection.name = QStringLiteral("Computer %1").arg(i);
        connection.host = QStringLiteral("host-%1.example.org").arg(i);
        connection.port = 5900 + i % 10;
        connection.username = i % 3 == 0 ? QStringLiteral("admin") : QString();
        if (i % 7 == 0) {
            connection.bonjourServiceName = QStringLiteral("Service %1").arg(i);
        }
        if (i % 4 != 0) {
            connection.groupID = library.groups[i % 100].id;
        }
        connection.tint = allTints[static_cast<std::size_t>(i) % allTints.size()];
        connection.createdAt = created.addSecs(i);
        if (i % 2 == 0) {
            connection.lastConnectedAt = created.addSecs(100'000 + i);
        }
        library.connections.push_back(connection);
    }
    return library;
}

const Library& sharedLibrary() {
    static const Library library = largeLibrary();
    return library;
}

void BM_EncodeLibrary(benchmark::State& state) {
    const Library& library = sharedLibrary();
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeLibrary(library));
    }
}
BENCHMARK(BM_EncodeLibrary)->Unit(benchmark::kMillisecond);

void BM_DecodeLibrary(benchmark::State& state) {
    const QByteArray bytes = encodeLibrary(sharedLibrary());
    state.counters["bytes"] = static_cast<double>(bytes.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeLibrary(bytes));
    }
}
BENCHMARK(BM_DecodeLibrary)->Unit(benchmark::kMillisecond);

// What a start costs: reading Library.json from disk and decoding it into the store.
void BM_StoreLoad(benchmark::State& state) {
    QTemporaryDir folder;
    KeychainService& keychain = noKeychain();
    {
        ConnectionStore writer(keychain, folder.path());
        writer.importData(encodeLibrary(sharedLibrary()));
    }
    for (auto _ : state) {
        auto store = std::make_unique<ConnectionStore>(keychain, folder.path());
        // Freeing the library at the end of a run is not part of loading it.
        state.PauseTiming();
        if (store->connections().size() != 10'000) {
            state.SkipWithError("library did not load");
        }
        store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StoreLoad)->Unit(benchmark::kMillisecond);

// What every change costs: encoding the library and replacing the file atomically.
void BM_StoreSave(benchmark::State& state) {
    QTemporaryDir folder;
    KeychainService& keychain = noKeychain();
    ConnectionStore store(keychain, folder.path());
    store.importData(encodeLibrary(sharedLibrary()));
    for (auto _ : state) {
        store.save();
    }
}
BENCHMARK(BM_StoreSave)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
