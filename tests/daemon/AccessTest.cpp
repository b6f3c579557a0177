#include <map>

#include "DaemonTesting.h"
#include "core/Access.h"
#include "support/LogCapture.h"

using namespace velkor;
using namespace velkor::test;

namespace {

constexpr auto kShared = daemon::Access::sharedUser;

/// A user's file, another user's and the shared one, each {sub: {x: 1}}.
class AccessTest : public StoreTest {
  protected:
    std::map<std::uint32_t, UUID> subs;

    void createFile(const daemon::Caller& c, std::uint32_t user) {
        subs[user] = newId();
        ASSERT_TRUE(succeeded(
            create(c, dict(newId(), {{"sub", dict(subs[user], {{"x", num(1)}})}}), user)));
    }
    /// What `c` may do with the file of `user`: "r" read, "s" subscribe, "w" write.
    std::string rights(const daemon::Caller& c, std::uint32_t user) {
        const UUID sub = subs[user];
        std::string may;
        if (fetch(c, "sub/x", false, user).answer.get<ServerResponse::SettingsFetched>() &&
            resolve(c, sub).answer.get<ServerResponse::SettingsFetched>())
            may += "r";
        if (succeeded(store().handle(c, ClientRequest::SetHasSubscription{sub, true})))
            may += "s";
        const auto current = fetched(resolve(root, sub)).revision;
        if (set(c, sub, current, "x", num(current)).answer.get<ServerResponse::SettingsUpdated>())
            may += "w";
        return may;
    }
};

}  // namespace

TEST_F(AccessTest, UserFilesBelongToTheirUserAndRootSharedOnesAreReadByEveryone) {
    LogCapture logs;
    // Eve may not create Alice's file; the refusal does not reveal whether it exists.
    EXPECT_EQ(failure(create(eve, dict(newId(), {}))), VKError::fileDoesNotExist);
    EXPECT_TRUE(logs->contains(LogLevel::warning, "for uid 1001"));
    createFile(alice, 1000);
    EXPECT_EQ(failure(create(eve, dict(newId(), {}))), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(create(alice, dict(newId(), {}), kShared)), VKError::fileDoesNotExist);
    createFile(root, 1001);
    createFile(root, kShared);

    EXPECT_EQ(rights(bob, 1000), "rsw");
    EXPECT_EQ(rights(root, 1000), "rsw");
    EXPECT_EQ(rights(eve, 1001), "rsw");
    EXPECT_EQ(rights(eve, 1000), "");
    EXPECT_EQ(rights(alice, 1001), "");
    EXPECT_EQ(rights(alice, kShared), "rs");
    EXPECT_EQ(rights(eve, kShared), "rs");
    EXPECT_EQ(rights(root, kShared), "rsw");
    EXPECT_EQ(failure(fetch(eve)), VKError::fileDoesNotExist);
    EXPECT_TRUE(logs->contains(LogLevel::warning, "read 1000@org.example.app for uid 1001"));

    EXPECT_EQ(failure(remove(eve)), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(remove(alice, kShared)), VKError::fileDoesNotExist);
    EXPECT_TRUE(fetched(fetch(alice)).kind == ValueKind::dictionary);
    for (auto user : {1000u, 1001u, kShared})
        EXPECT_NE(remove(root, user).answer.get<ServerResponse::SettingsDeleted>(), nullptr);
}
