#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel/XpcChannelToServer.h"
#include "support/ChannelRecorder.h"
#include "support/FakeBusDaemon.h"
#include "support/LogCapture.h"
#include "support/PrivateBus.h"

namespace velkor::test {

/// A private bus with a stand-in daemon on it and a transport connected to that daemon, with
/// the transport's answers recorded and every log line captured.
class TransportFixture : public ::testing::Test {
  protected:
    static constexpr const char* kService = "org.velkor.SettingsDaemon";
    static constexpr const char* kLogger = "Velkor.ServerXpcChannel";

    void SetUp() override { start({}); }

    /// (Re)starts the daemon with `handler` answering its requests, and a transport to it.
    void start(FakeBusDaemon::Handler handler) {
        TearDown();
        daemon = std::make_unique<FakeBusDaemon>(bus.address(), kService, std::move(handler));
        transport = XpcChannelToServer::make(kService, bus.address());
        answers = std::make_unique<ChannelRecorder>(transport->virtualChannel());
    }

    void TearDown() override {
        answers.reset();
        transport.reset();
        daemon.reset();
    }

    /// Sends one request through the channel and gives the unique name it came from, as the
    /// daemon learns whom to answer.
    std::string clientName() {
        transport->virtualChannel()->requestSubject.onNext(
            {UUID::random(), ClientRequest::SetHasSubscription{UUID::random(), true}});
        auto received = daemon->nextRequest();
        EXPECT_TRUE(received.has_value());
        return received ? received->sender : std::string();
    }

    /// How many lines of the transport's logger at `level` read exactly `message`.
    std::size_t lines(LogLevel level, const std::string& message) {
        std::size_t n = 0;
        for (const auto& line : logs->lines()) {
            if (line.logger == kLogger && line.level == level && line.message == message)
                ++n;
        }
        return n;
    }

    /// How many lines of the transport's logger at `level` start with `prefix`.
    std::size_t linesStartingWith(LogLevel level, const std::string& prefix) {
        std::size_t n = 0;
        for (const auto& line : logs->lines()) {
            if (line.logger == kLogger && line.level == level && line.message.starts_with(prefix))
                ++n;
        }
        return n;
    }

    LogCapture logs;
    PrivateBus bus;
    std::unique_ptr<FakeBusDaemon> daemon;
    std::shared_ptr<XpcChannelToServer> transport;
    std::unique_ptr<ChannelRecorder> answers;
};

}  // namespace velkor::test
