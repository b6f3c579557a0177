#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/XpcChannelToServer.h"
#include "support/ChannelRecorder.h"
#include "support/FakeBusDaemon.h"
#include "support/LogCapture.h"
#include "support/PrivateBus.h"

namespace velkor::test {

/// A private bus with a stand-in daemon on it and a transport connected to that
/// daemon, with the transport's answers recorded and every log line captured.
class TransportFixture : public ::testing::Test {
  protected:
    static constexpr const char* kService = "org.velkor.SettingsDaemon";

    void SetUp() override { start(); }
    void TearDown() override {
        answers.reset();
        transport.reset();
        daemon.reset();
    }

    /// (Re)starts the daemon and a transport to it.
    void start() {
        TearDown();
        daemon = std::make_unique<FakeBusDaemon>(bus.address(), kService);
        transport = XpcChannelToServer::make(kService, bus.address());
        answers = std::make_unique<ChannelRecorder>(transport->virtualChannel());
    }

    /// Sends `request` through the channel and gives the unique name it came
    /// from, as the daemon learns whom to answer.
    std::string clientName(const ClientRequest& request = ClientRequest::DeleteSettings{"a", 1}) {
        transport->virtualChannel()->onNext({UUID::random(), request});
        auto received = daemon->nextRequest();
        EXPECT_TRUE(received.has_value());
        return received ? received->sender : std::string();
    }

    /// A caller on the transport's channel whose requests wait far longer than any test runs: one
    /// that comes back was released by the transport, not by its time-out.
    std::shared_ptr<VirtualChannelSyncAdapter<VirtualChannelToServer>> makeAdapter() {
        return VirtualChannelSyncAdapter<VirtualChannelToServer>::make(transport->virtualChannel(),
                                                                       std::chrono::hours(1));
    }

    LogCapture logs;
    PrivateBus bus;
    std::unique_ptr<FakeBusDaemon> daemon;
    std::shared_ptr<XpcChannelToServer> transport;
    std::unique_ptr<ChannelRecorder> answers;
};

}  // namespace velkor::test
