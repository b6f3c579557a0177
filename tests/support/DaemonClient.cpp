#include "support/DaemonClient.h"

#include <stdexcept>

#include "channel/DirectChannel.h"
#include "dbus/BusError.h"
#include "dbus/RequestCodec.h"
#include "internals/SettingsService.h"

namespace velkor::test {

DaemonClient::DaemonClient(const std::string& address, const std::string& service, Path path)
    : bus_(dbus::BusConnection::open(address)), service_(service) {
    auto owner = bus_.nameOwner(service_);
    if (!owner)
        throw std::runtime_error("nobody owns " + service_);
    daemon_ = *owner;
    if (path == Path::direct) {
        auto call = directChannelCall(bus_, service_);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* answer = nullptr;
        int r = sd_bus_call(bus_.get(), call.get(), 0, &error, &answer);
        dbus::Message owned(answer);
        sd_bus_error_free(&error);
        if (r < 0)
            throw std::runtime_error(dbus::BusError("Asking for a direct channel", -r).what());
        auto channel = directChannelFromAnswer(answer);
        if (auto* why = std::get_if<std::string>(&channel))
            throw std::runtime_error("no direct channel: " + *why);
        // On the channel, calls name no destination and answers no sender.
        bus_ = std::move(std::get<dbus::BusConnection>(channel));
        service_.clear();
        daemon_.clear();
    }
}

UUID DaemonClient::send(const ClientRequest& request) {
    const UUID tag = UUID::random();
    sendRaw(dbus::RequestCodec::build(bus_, service_, tag, request), tag);
    return tag;
}

void DaemonClient::sendRaw(const dbus::Message& call, std::optional<UUID> tag) {
    if (tag)
        waiting_.insert(*tag);
    bus_.send(call);
}

void DaemonClient::sendNoise() {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(
        sd_bus_message_new_signal(bus_.get(), &raw, "/", "org.example.Noise", "Noise"),
        "Making a signal");
    dbus::Message noise(raw);
    sd_bus_message_set_destination(noise.get(), service_.c_str());
    dbus::BusError::check(sd_bus_send(bus_.get(), noise.get(), nullptr), "Sending a signal");
}

std::string DaemonClient::callForError(const dbus::Message& call) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus_.get(), call.get(), 0, &error, &reply);
    dbus::Message owned(reply);
    std::string name = r < 0 && error.name ? error.name : "";
    sd_bus_error_free(&error);
    return name;
}

std::optional<dbus::ReceivedResponse> DaemonClient::next(std::optional<UUID> tag,
                                                         std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (auto it = tag ? answers_.find(*tag) : answers_.end(); it != answers_.end()) {
            auto found = std::move(it->second);
            answers_.erase(it);
            return found;
        }
        if (!tag && !notifications_.empty()) {
            auto found = std::move(notifications_.front());
            notifications_.pop_front();
            return found;
        }
        sd_bus_message* raw = nullptr;
        int r = dbus::BusError::check(sd_bus_process(bus_.get(), &raw), "Reading from the bus");
        dbus::Message message(raw);
        if (message && message.type() == SD_BUS_MESSAGE_SIGNAL &&
            message.interface() == dbus_names::kResponseInterface && message.sender() == daemon_) {
            auto parsed = dbus::ResponseCodec::parse(message);
            if (auto* received = std::get_if<dbus::ReceivedResponse>(&parsed)) {
                ++signalsReceived_;
                if (waiting_.erase(received->tag))
                    answers_.emplace(received->tag, std::move(*received));
                else
                    notifications_.push_back(std::move(*received));
            }
        }
        if (r > 0 || message)
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        dbus::BusError::check(sd_bus_wait(bus_.get(), static_cast<std::uint64_t>(left.count())),
                              "Waiting for the bus");
    }
}

}  // namespace velkor::test
