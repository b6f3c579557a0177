#include "bus/EventLoop.h"

#include <signal.h>
#include <sys/signalfd.h>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.EventLoop");

}  // namespace

EventLoop::EventLoop() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // sd-event reads signals from a signalfd, which sees only blocked signals.
    if (int r = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); r != 0)
        throw dbus::BusError("Blocking the stop signals", r);

    sd_event* raw = nullptr;
    dbus::BusError::check(sd_event_new(&raw), "Creating the event loop");
    event_.reset(raw);
    for (auto [number, source] :
         {std::pair{SIGTERM, &terminate_}, std::pair{SIGINT, &interrupt_}}) {
        sd_event_source* added = nullptr;
        dbus::BusError::check(sd_event_add_signal(raw, &added, number, onSignal, this),
                              "Watching a stop signal");
        source->reset(added);
        // A stop signal is taken before queued bus traffic, however busy the bus is.
        sd_event_source_set_priority(added, SD_EVENT_PRIORITY_IMPORTANT);
    }
}

int EventLoop::run() {
    return dbus::BusError::check(sd_event_loop(event_.get()), "Running the event loop");
}

void EventLoop::exit(int status) {
    sd_event_exit(event_.get(), status);
}

int EventLoop::onSignal(sd_event_source*, const struct signalfd_siginfo* info, void* userdata) {
    auto* self = static_cast<EventLoop*>(userdata);
    self->stopSignal_ = static_cast<int>(info->ssi_signo);
    log.info("Stopping on signal %d.", self->stopSignal_);
    self->exit(0);
    return 0;
}

}  // namespace velkor::daemon
