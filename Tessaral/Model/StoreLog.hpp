#pragma once

#include <QLoggingCategory>

namespace tessaral {

// "org.tessaral.Tessaral.store": the library's load and save failures.
Q_DECLARE_LOGGING_CATEGORY(storeLog)

}  // namespace tessaral
