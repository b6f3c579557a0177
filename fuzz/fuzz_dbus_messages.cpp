// Builds a D-Bus message from arbitrary bytes and reads it as a request and as an answer, the way
// the daemon and the transport read what arrives from the bus. Reading must refuse or accept
// without crashing; whatever is accepted must travel again unchanged (built, sealed and read
// back to the same text form).
//
// Input layout: one header byte (bit 0: method call or signal; bits 1-3: member, where 6 and 7
// name no member; bit 4: another interface), then operations until the input ends, each an
// opcode byte and its operands:
//   0 ay: length byte (16 is common) and that many bytes     4 b: one byte
//   1 s: length byte and that many bytes (may be bad UTF-8)  5 i: four bytes
//   2 u: four bytes                                           6 a{sv}: entry count, then entries
//   3 x: eight bytes                                          7 aa{sv}: record count, records
//   8 as: count, then strings
// A dictionary entry is a key selector byte (the seven record keys or "other") and a value: a
// type selector byte (x, ay, s, i, t, as) and its operands.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "FuzzSupport.h"
#include "dbus/BusConnection.h"
#include "dbus/Message.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"
#include "velkor/Log.h"

using namespace velkor;

using velkor::fuzz::check;
using velkor::fuzz::Input;

namespace {

/// A started connection over a socket pair that nobody reads: messages are built and sealed on
/// it without a bus. It lives as long as the process (closing it would wait for the peer).
dbus::BusConnection& offlineBus() {
    static auto* bus = [] {
        int fds[2];
        check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
        sd_bus* raw = nullptr;
        check(sd_bus_new(&raw) >= 0);
        check(sd_bus_set_fd(raw, fds[0], fds[0]) >= 0 && sd_bus_start(raw) >= 0);
        return new dbus::BusConnection(raw);
    }();
    return *bus;
}

std::uint64_t cookie = 0;

template <typename T>
void appendBasic(sd_bus_message* m, char type, T value) {
    sd_bus_message_append_basic(m, type, &value);
}

void appendBytes(sd_bus_message* m, const std::string& bytes) {
    sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
}

// A text D-Bus cannot carry (bad UTF-8) is replaced by `fallback`, since sd-bus refuses it before
// appending.
void appendText(sd_bus_message* m, Input& in, std::size_t lengths, const char* fallback) {
    const auto text = in.text(in.byte() % lengths);
    if (sd_bus_message_append_basic(m, 's', text.c_str()) < 0)
        sd_bus_message_append_basic(m, 's', fallback);
}

void appendEntries(sd_bus_message* m, Input& in) {
    static const char* keys[] = {"type", "id", "revision", "from", "to", "key", "data", "other"};
    static const char* types[] = {"x", "ay", "s", "i", "t", "as"};
    std::size_t count = in.byte() % 9;
    if (sd_bus_message_open_container(m, 'a', "{sv}") < 0)
        return;
    for (std::size_t i = 0; i < count && !in.empty(); ++i) {
        if (sd_bus_message_open_container(m, 'e', "sv") < 0)
            return;
        sd_bus_message_append_basic(m, 's', keys[in.byte() % 8]);
        const auto type = in.byte() % 6;
        if (sd_bus_message_open_container(m, 'v', types[type]) < 0)
            return;
        if (type == 0)
            appendBasic(m, 'x', std::int64_t{static_cast<std::int8_t>(in.byte())});
        else if (type == 1)
            appendBytes(m, in.text(in.byte() % 20));
        else if (type == 2)
            appendText(m, in, 8, "");
        else if (type == 3)
            appendBasic(m, 'i', std::int32_t{in.byte()});
        else if (type == 4)
            appendBasic(m, 't', std::uint64_t{in.byte()});
        else
            sd_bus_message_append(m, "as", 1, "x");
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
    }
    sd_bus_message_close_container(m);
}

void appendValue(sd_bus_message* m, Input& in) {
    const auto op = in.byte() % 9;
    if (op == 0) {
        std::size_t n = in.byte();
        appendBytes(m, in.text(n > 32 ? 16 : n));
    } else if (op == 1) {
        appendText(m, in, 16, "x");
    } else if (op == 2) {
        appendBasic(m, 'u', in.number<std::uint32_t>());
    } else if (op == 3) {
        appendBasic(m, 'x', in.number<std::int64_t>());
    } else if (op == 4) {
        appendBasic(m, 'b', int{in.byte() & 1});
    } else if (op == 5) {
        appendBasic(m, 'i', in.number<std::int32_t>());
    } else if (op == 6) {
        appendEntries(m, in);
    } else if (op == 7) {
        // An array of entry arrays.
        std::size_t count = in.byte() % 4;
        if (sd_bus_message_open_container(m, 'a', "a{sv}") < 0)
            return;
        for (std::size_t i = 0; i < count && !in.empty(); ++i)
            appendEntries(m, in);
        sd_bus_message_close_container(m);
    } else {
        std::size_t count = in.byte() % 4;
        if (sd_bus_message_open_container(m, 'a', "s") < 0)
            return;
        for (std::size_t i = 0; i < count; ++i)
            sd_bus_message_append_basic(m, 's', std::to_string(i).c_str());
        sd_bus_message_close_container(m);
    }
}

std::string text(const Tagged<ClientRequest>& r) {
    return r.tag.description() + r.payload.description();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records that do not decode log an error each; the fuzzer's output stays readable.
    [[maybe_unused]] static const bool quiet = (setLogSink(nullptr, LogLevel::off), true);
    auto& bus = offlineBus();

    Input in({data, size});
    std::uint8_t header = in.byte();
    bool call = (header & 1) == 0;
    std::size_t member = (header >> 1) & 7;
    const char* name = call ? (member < 6 ? SettingsRequestService::kMembers[member] : "unknown")
                            : (member < 6 ? SettingsResponseService::kMembers[member] : "unknown");
    const char* interface = (header & 0x10) != 0 ? "org.example.Other"
                            : call               ? dbus_names::kRequestInterface
                                                 : dbus_names::kResponseInterface;
    sd_bus_message* raw = nullptr;
    int r =
        call ? sd_bus_message_new_method_call(bus.get(), &raw, "org.velkor.SettingsDaemon",
                                              dbus_names::kObjectPath, interface, name)
             : sd_bus_message_new_signal(bus.get(), &raw, dbus_names::kObjectPath, interface, name);
    check(r >= 0);
    dbus::Message message(raw);
    for (int ops = 0; !in.empty() && ops < 16; ++ops)
        appendValue(raw, in);
    if (sd_bus_message_seal(raw, ++cookie, 0) < 0)
        return 0;

    auto request = dbus::RequestCodec::parse(message);
    auto response = dbus::ResponseCodec::parse(message);
    check(!(std::holds_alternative<Tagged<ClientRequest>>(request) &&
            std::holds_alternative<dbus::ReceivedResponse>(response)));

    if (const auto* accepted = std::get_if<Tagged<ClientRequest>>(&request)) {
        auto again = dbus::RequestCodec::build(bus, "org.velkor.SettingsDaemon", accepted->tag,
                                               accepted->payload);
        check(sd_bus_message_seal(again.get(), ++cookie, 0) >= 0);
        auto reread = dbus::RequestCodec::parse(again);
        check(std::holds_alternative<Tagged<ClientRequest>>(reread));
        check(text(std::get<Tagged<ClientRequest>>(reread)) == text(*accepted));
    }
    if (const auto* accepted = std::get_if<dbus::ReceivedResponse>(&response)) {
        if (accepted->response) {
            auto again =
                dbus::ResponseCodec::build(bus, ":1.1", accepted->tag, *accepted->response);
            check(sd_bus_message_seal(again.get(), ++cookie, 0) >= 0);
            auto reread = dbus::ResponseCodec::parse(again);
            check(std::holds_alternative<dbus::ReceivedResponse>(reread));
            auto second = std::get<dbus::ReceivedResponse>(reread);
            check(second.response &&
                  second.response->description() == accepted->response->description());
            check(second.tag == accepted->tag && second.kind == accepted->kind);
        }
    }
    return 0;
}
