#include "BusPingPong.h"

#include <cstring>
#include <stdexcept>

namespace velkor::test {

namespace {

constexpr const char* kPath = "/org/velkor/SettingsDaemon";
constexpr const char* kRequestInterface = "org.velkor.SettingsRequestService";
constexpr const char* kResponseInterface = "org.velkor.SettingsResponseService";

int check(int r, const char* what) {
    if (r < 0)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
    return r;
}

sd_bus* connect(const std::string& address) {
    sd_bus* bus = nullptr;
    check(sd_bus_new(&bus), "sd_bus_new");
    check(sd_bus_set_address(bus, address.c_str()), "sd_bus_set_address");
    check(sd_bus_set_bus_client(bus, 1), "sd_bus_set_bus_client");
    check(sd_bus_start(bus), "sd_bus_start");
    const char* unique = nullptr;
    check(sd_bus_get_unique_name(bus, &unique), "sd_bus_get_unique_name");
    return bus;
}

}  // namespace

BusPingPong::BusPingPong(const std::string& address, const std::string& serverName)
    : serverName_(serverName) {
    try {
        client_ = connect(address);
        server_ = connect(address);
        check(sd_bus_request_name(server_, serverName_.c_str(), 0), "sd_bus_request_name");
    } catch (...) {
        sd_bus_flush_close_unref(client_);
        sd_bus_flush_close_unref(server_);
        throw;
    }
    thread_ = std::thread([this] { serve(); });
}

BusPingPong::~BusPingPong() {
    stop_.store(true);
    thread_.join();
    sd_bus_flush_close_unref(client_);
    sd_bus_flush_close_unref(server_);
}

void BusPingPong::serve() {
    while (!stop_.load()) {
        sd_bus_message* call = nullptr;
        int r = sd_bus_process(server_, &call);
        if (r < 0)
            return;
        if (call && sd_bus_message_is_method_call(call, kRequestInterface,
                                                  "setHasSubscriptionWithTag") > 0) {
            const void* tag = nullptr;
            std::size_t size = 0;
            sd_bus_message* answer = nullptr;
            if (sd_bus_message_read_array(call, 'y', &tag, &size) >= 0 &&
                sd_bus_message_new_signal(server_, &answer, kPath, kResponseInterface,
                                          "requestSucceededWithTag") >= 0 &&
                sd_bus_message_set_destination(answer, sd_bus_message_get_sender(call)) >= 0 &&
                sd_bus_message_append_array(answer, 'y', tag, size) >= 0)
                sd_bus_send(server_, answer, nullptr);
            sd_bus_message_unref(answer);
        }
        sd_bus_message_unref(call);
        // The stop flag is looked at every 50 ms when there is nothing to do.
        if (r == 0)
            sd_bus_wait(server_, 50000);
    }
}

std::chrono::nanoseconds BusPingPong::roundTrip() {
    std::uint8_t tag[16] = {};
    ++counter_;
    std::memcpy(tag, &counter_, sizeof counter_);
    std::uint8_t container[16] = {};

    auto start = std::chrono::steady_clock::now();
    sd_bus_message* call = nullptr;
    check(sd_bus_message_new_method_call(client_, &call, serverName_.c_str(), kPath,
                                         kRequestInterface, "setHasSubscriptionWithTag"),
          "sd_bus_message_new_method_call");
    int r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0)
        r = sd_bus_message_append_array(call, 'y', tag, sizeof tag);
    if (r >= 0)
        r = sd_bus_message_append_array(call, 'y', container, sizeof container);
    if (r >= 0)
        r = sd_bus_message_append(call, "b", 1);
    if (r >= 0)
        r = sd_bus_send(client_, call, nullptr);
    sd_bus_message_unref(call);
    check(r, "sending the call");

    for (;;) {
        sd_bus_message* answer = nullptr;
        r = sd_bus_process(client_, &answer);
        check(r, "sd_bus_process");
        bool done = false;
        if (answer &&
            sd_bus_message_is_signal(answer, kResponseInterface, "requestSucceededWithTag") > 0) {
            const void* echoed = nullptr;
            std::size_t size = 0;
            done = sd_bus_message_read_array(answer, 'y', &echoed, &size) >= 0 &&
                   size == sizeof tag && std::memcmp(echoed, tag, size) == 0;
        }
        sd_bus_message_unref(answer);
        if (done)
            return std::chrono::steady_clock::now() - start;
        if (r == 0 && check(sd_bus_wait(client_, 5000000), "sd_bus_wait") == 0)
            throw std::runtime_error("no answer within 5 s");
    }
}

}  // namespace velkor::test
