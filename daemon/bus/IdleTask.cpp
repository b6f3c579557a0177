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
    // Above it: once the patience is over, the action goes before any more messages.
    dbus::BusError::check(
        sd_event_add_time_relative(loop.get(), &raw, CLOCK_MONOTONIC, 0, 0, onPatienceOver, this),
        "Adding an idle task's deadline");
    deadline_.reset(raw);
    sd_event_source_set_priority(raw, SD_EVENT_PRIORITY_IMPORTANT);
    sd_event_source_set_enabled(raw, SD_EVENT_OFF);
}

void IdleTask::schedule() {
    if (scheduled_)
        return;
    scheduled_ = true;
    sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT);
    sd_event_source_set_time_relative(
        deadline_.get(),
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(kPatience).count()));
    sd_event_source_set_enabled(deadline_.get(), SD_EVENT_ONESHOT);
}

int IdleTask::onRun(sd_event_source*, void* userdata) {
    static_cast<IdleTask*>(userdata)->run();
    return 0;
}

int IdleTask::onPatienceOver(sd_event_source*, std::uint64_t, void* userdata) {
    static_cast<IdleTask*>(userdata)->run();
    return 0;
}

void IdleTask::run() {
    scheduled_ = false;
    sd_event_source_set_enabled(source_.get(), SD_EVENT_OFF);
    sd_event_source_set_enabled(deadline_.get(), SD_EVENT_OFF);
    try {
        action_();
    } catch (const std::exception& e) {
        log.error("An idle task failed: %@", e.what());
    }
}

}  // namespace velkor::daemon
