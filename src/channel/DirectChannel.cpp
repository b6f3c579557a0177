#include "channel/DirectChannel.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>

#include "dbus/BusError.h"
#include "dbus/Message.h"
#include "internals/SettingsService.h"

namespace velkor {

namespace {

/// Long enough for the bus to start the daemon, short enough never to stall the caller for long.
constexpr std::chrono::microseconds kTimeout = std::chrono::seconds(10);

}  // namespace

std::variant<dbus::BusConnection, std::string> openDirectChannel(dbus::BusConnection& bus,
                                                                 const std::string& serviceName) {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(sd_bus_message_new_method_call(
                              bus.get(), &raw, serviceName.c_str(), dbus_names::kObjectPath,
                              dbus_names::kChannelInterface, dbus_names::kOpenChannelMember),
                          "Asking for a direct channel");
    dbus::Message call(raw);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* rawReply = nullptr;
    int r = sd_bus_call(bus.get(), call.get(), kTimeout.count(), &error, &rawReply);
    dbus::Message reply(rawReply);
    if (r < 0) {
        std::string why =
            error.name ? std::string(error.name) + ": " + (error.message ? error.message : "")
                       : dbus::BusError("Asking for a direct channel", -r).what();
        sd_bus_error_free(&error);
        return why;
    }
    int fd = -1;
    if (sd_bus_message_read_basic(reply.get(), 'h', &fd) < 0)
        return std::string("the daemon's answer holds no socket");
    // The reply owns its descriptor: the connection gets a copy of its own.
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
