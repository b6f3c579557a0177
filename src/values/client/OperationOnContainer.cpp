#include "values/client/OperationOnContainer.h"

#include "basalt/QZLogger.h"
#include "dispatch/ReadWriteQueue.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "velkor/VKError.h"

namespace velkor {

using detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Container");

OperationOnContainer::OperationOnContainer(const VKContainer& container) : container_(container) {
    if (auto connection = ContainerAccess::innerConnection(container)) {
        deadline_.emplace(std::chrono::duration_cast<OperationDeadline::Clock::duration>(
            connection->requestTimeout()));
    }
}

bool OperationOnContainer::run(bool write, void (*body)(void*), void* context) const {
    auto& lock = ContainerAccess::itemsLock(container_);
    auto call = [&] { body(context); };
    if (!deadline_) {
        if (write) {
            lock.syncBarrier(call);
        } else {
            lock.sync(call);
        }
        return true;
    }
    // The deadline of this operation, or of an enclosing one that opened its scope first.
    const auto deadline = OperationDeadline::current(OperationDeadline::Clock::duration::zero());
    return write ? lock.syncBarrierUntil(deadline, call) : lock.syncUntil(deadline, call);
}

void OperationOnContainer::timedOut() const {
    log.error("Timeout waiting for the container's lock (id=%@).", container_.id());
    throw VKError(VKError::connectionLost);
}

}  // namespace velkor
