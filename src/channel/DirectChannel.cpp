#include "channel/DirectChannel.h"

#include <fcntl.h>

#include <cerrno>
#include <exception>

#include "dbus/BusError.h"
#include "dbus/Message.h"
#include "internals/SettingsService.h"

namespace velkor {

namespace {

using Done = std::function<void(DirectChannelOffer)>;

int onAnswer(sd_bus_message* answer, void* userdata, sd_bus_error*) {
    try {
        (*static_cast<Done*>(userdata))(directChannelFromAnswer(answer));
    } catch (...) {
        // Nothing may leave an sd-bus callback; `done` reports its own failures.
    }
    return 1;
}

void release(void* userdata) {
    delete static_cast<Done*>(userdata);
}

}  // namespace

dbus::Message directChannelCall(dbus::BusConnection& bus, const std::string& serviceName) {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(sd_bus_message_new_method_call(
                              bus.get(), &raw, serviceName.c_str(), dbus_names::kObjectPath,
                              dbus_names::kChannelInterface, dbus_names::kOpenChannelMember),
                          "Asking for a direct channel");
    return dbus::Message(raw);
}

void askForDirectChannel(dbus::BusConnection& bus, const std::string& serviceName,
                         std::chrono::microseconds timeout, Done done) {
    auto call = directChannelCall(bus, serviceName);
    auto* userdata = new Done(std::move(done));
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_async(bus.get(), &slot, call.get(), onAnswer, userdata,
                              static_cast<std::uint64_t>(timeout.count()));
    if (r < 0) {
        delete userdata;
        dbus::BusError::check(r, "Asking for a direct channel");
    }
    // The call lives on its own until it is answered, or the bus connection is released; the
    // callable goes with it.
    sd_bus_slot_set_destroy_callback(slot, release);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

DirectChannelOffer directChannelFromAnswer(sd_bus_message* answer) {
    if (const sd_bus_error* error = sd_bus_message_get_error(answer)) {
        return std::string(error->name ? error->name : "") + ": " +
               (error->message ? error->message : "");
    }
    int fd = -1;
    if (sd_bus_message_read_basic(answer, 'h', &fd) < 0)
        return std::string("the daemon's answer holds no socket");
    // The answer owns its descriptor: the connection gets a copy of its own.
    int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0)
        return dbus::BusError("Taking the channel's socket", errno).what();
    try {
        return dbus::BusConnection::openPeer(own);
    } catch (const dbus::BusError& e) {
        return std::string(e.what());
    }
}

}  // namespace velkor
