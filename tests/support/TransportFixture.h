#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/XpcChannelToServer.h"
#include "support/BlockingQueue.h"
#include "support/FakeBusDaemon.h"
#include "support/LogCapture.h"
#include "support/PrivateBus.h"
#include "velkor/Subscription.h"

namespace velkor::test {

/// A private bus with a stand-in daemon on it and a transport connected to that
/// daemon, with what the transport emits from its channel (every tagged answer, and each
/// completion) recorded and every log line captured.
class TransportFixture : public ::testing::Test {
  protected:
    static constexpr const char* kService = "org.velkor.SettingsDaemon";

    void SetUp() override { start(); }
    void TearDown() override {
        recording.dispose();
        transport.reset();
        daemon.reset();
    }

    /// (Re)starts the daemon and a transport to it.
    void start() {
        TearDown();
        daemon = std::make_unique<FakeBusDaemon>(bus.address(), kService);
        transport = XpcChannelToServer::make(kService, bus.address());
        answers = std::make_shared<BlockingQueue<Tagged<ServerResponse>>>();
        completed = std::make_shared<BlockingQueue<bool>>();
        recording = scoped(transport->virtualChannel()->events().subscribe(
            [a = answers](const Tagged<ServerResponse>& m) { a->push(m); }, {},
            [c = completed] { c->push(true); }));
    }

    /// Sends a request through the channel and gives the unique name it came from, as the daemon
    /// learns whom to answer.
    std::string clientName() {
        transport->virtualChannel()->onNext(
            {UUID::random(), ClientRequest::DeleteSettings{"a", 1}});
        return daemon->nextRequest().value().sender;
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
    std::shared_ptr<BlockingQueue<Tagged<ServerResponse>>> answers;
    std::shared_ptr<BlockingQueue<bool>> completed;
    Subscription recording;
};

}  // namespace velkor::test
