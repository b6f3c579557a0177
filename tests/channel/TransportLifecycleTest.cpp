#include <gtest/gtest.h>

#include <thread>

#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

class TransportLifecycleTest : public TransportFixture {
  protected:
    std::vector<std::string> transportLines() {
        std::vector<std::string> out;
        for (const auto& line : logs->lines()) {
            if (line.logger == kLogger)
                out.push_back(line.message);
        }
        return out;
    }
};

TEST_F(TransportLifecycleTest, CompletingTheRequestStreamClosesTheTransportOnce) {
    auto client = clientName();
    transport->virtualChannel()->onCompleted();

    EXPECT_TRUE(answers->waitForCompletion());
    transport->closeConnection();
    transport->closeConnection();
    EXPECT_EQ(linesStartingWith(LogLevel::trace, "Closing server connection ("), 1u);
    EXPECT_EQ(answers->completions(), 1);

    // The bus connection is gone: the bus forgets its unique name.
    auto observer = dbus::BusConnection::open(bus.address());
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = !observer.nameOwner(client);
        if (!gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
}

TEST_F(TransportLifecycleTest, RequestsAfterCloseAreDroppedWithoutALogLine) {
    transport->closeConnection();
    ASSERT_TRUE(answers->waitForCompletion());
    logs->clear();

    const ClientRequest request = ClientRequest::DeleteSettings{"dropped", 501};
    transport->virtualChannel()->requestSubject.onNext({UUID::random(), request});
    transport->routeClientRequestMessage(UUID::random(), request);
    EXPECT_TRUE(transportLines().empty());

    // The bus delivers one sender's messages in order, and every message from the closed
    // transport would have been sent before this one.
    auto other = XpcChannelToServer::make(kService, bus.address());
    other->routeClientRequestMessage(UUID::random(), ClientRequest::DeleteSettings{"marker", 501});
    auto received = daemon->nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.description(), "deleteSettings(501@marker)");
}

TEST_F(TransportLifecycleTest, ARequestThatCannotTravelIsRefusedAtOnceAndTheTransportStays) {
    auto tag = UUID::random();
    transport->routeClientRequestMessage(
        tag, ClientRequest::FetchSettings{std::string("bad\0domain", 10), 501, "", false});

    auto answer = answers->next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->tag, tag);
    ASSERT_TRUE(answer->payload.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(answer->payload.get<ServerResponse::RequestHasFailed>()->error, VKError::invalidData);
    EXPECT_EQ(linesStartingWith(LogLevel::error, "Can't send fetchSettings(501@bad"), 1u);

    transport->routeClientRequestMessage(UUID::random(),
                                         ClientRequest::DeleteSettings{"still.open", 501});
    auto received = daemon->nextRequest();
    ASSERT_TRUE(received && received->request);
    EXPECT_EQ(received->request->payload.description(), "deleteSettings(501@still.open)");
    EXPECT_EQ(answers->completions(), 0);
}

}  // namespace
