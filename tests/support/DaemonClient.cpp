#include "support/DaemonClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
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

std::size_t DaemonClient::sendHalfAMessage(std::uint32_t body, std::size_t bytes,
                                           std::chrono::milliseconds patience) {
    // Little endian, a method call, no flags, version 1, the body's length, serial 1, and no
    // header fields; then filler.
    std::string data = {'l', 1, 0, 1};
    for (std::uint32_t word : {body, 1u, 0u}) {
        for (int shift = 0; shift < 32; shift += 8)
            data += static_cast<char>((word >> shift) & 0xff);
    }
    data.resize(bytes, 'x');
    const int fd = sd_bus_get_fd(bus_.get());
    std::size_t sent = 0;
    for (pollfd p{fd, POLLOUT, 0};
         sent<bytes&& ::poll(&p, 1, static_cast<int>(patience.count()))> 0;) {
        const ssize_t n = ::send(fd, data.data() + sent, bytes - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN)
            break;
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return sent;
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
        if (auto found = tag ? answers_.extract(*tag) : decltype(answers_)::node_type())
            return std::move(found.mapped());
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
