#include "KeychainThread.hpp"

#include <QThreadPool>

namespace tessaral {

QThreadPool& keychainThread() {
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(1);
        return threads;
    }();
    return *pool;
}

}  // namespace tessaral
