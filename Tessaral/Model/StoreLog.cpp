#include "StoreLog.hpp"

namespace tessaral {

Q_LOGGING_CATEGORY(storeLog, "org.tessaral.Tessaral.store")

}  // namespace tessaral
