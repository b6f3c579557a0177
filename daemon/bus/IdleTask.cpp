#include "bus/IdleTask.h"

#include <exception>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.EventLoop");

}  // namespace

IdleTask::IdleTask(EventLoop& loop, std::function<void()> action) : action_(std::move(action)) {
    sd_event_source* raw = nullptr;
    dbus::BusError::check(sd_event_add_defer(loop.get(), &raw, onRun, this), "Adding an idle task");
    source_.reset(raw);
    // Below the bus (normal priority): the bus's pending messages are dispatched first.
    sd_event_source_set_priority(raw, SD_EVENT_PRIORITY_IDLE);
    sd_event_source_set_enabled(raw, SD_EVENT_OFF);
}

void IdleTask::schedule() {
    sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT);
}

int IdleTask::onRun(sd_event_source*, void* userdata) {
    try {
        static_cast<IdleTask*>(userdata)->action_();
    } catch (const std::exception& e) {
        log.error("An idle task failed: %@", e.what());
    }
    return 0;
}

}  // namespace velkor::daemon
