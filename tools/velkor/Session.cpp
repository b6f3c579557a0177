#include "Session.h"

#include <cstdlib>
#include <mutex>
#include <optional>

#include "velkor/BKProductDefines.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/VKError.h"

namespace velkor::cli {

Session::Session(const std::string& busAddress) {
    if (!busAddress.empty())
        setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    container_.registerFactory<BKProductDefines>(
        [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
    VKConnectionFactory::registerWith(container_);
    monitor_ = container_.resolve<VKConnectionMonitor>();
    if (!monitor_)
        throw VKError(VKError::cannotConnect);
}

Session::~Session() {
    monitor_->dispose();
}

VKConnectionPtr Session::connection() const {
    // The monitor publishes its current connection to every new subscriber at once; a later
    // replacement may still arrive on another thread, so only the first value counts and it is
    // kept where that thread can safely reach it.
    struct First {
        std::mutex mutex;
        std::optional<VKConnectionPtr> connection;
    };
    auto first = std::make_shared<First>();
    monitor_->observableConnection()
        .subscribe([first](const VKConnectionPtr& connection) {
            std::lock_guard lock(first->mutex);
            if (!first->connection)
                first->connection = connection;
        })
        ->dispose();
    std::lock_guard lock(first->mutex);
    if (!first->connection || !*first->connection)
        throw VKError(VKError::cannotConnect);
    return *first->connection;
}

}  // namespace velkor::cli
