#include "DaemonTesting.h"
#include "core/Access.h"
#include "support/LogCapture.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class AccessTest : public StoreTest {
  protected:
    UUID rootId = newId();
    UUID subId = newId();

    Node tree() const { return dict(rootId, {{"sub", dict(subId, {{"x", num(1)}})}}); }

    bool mayUpdate(const daemon::Caller& c, std::int64_t revision) {
        const auto o = set(c, subId, revision, "x", num(revision + 100));
        if (o.answer.get<ServerResponse::SettingsUpdated>()) {
            return updated(o).changeResult == ChangeResult::done;
        }
        EXPECT_EQ(failure(o), VKError::fileDoesNotExist);
        return false;
    }
    bool mayResolve(const daemon::Caller& c) {
        const auto o = resolve(c, subId);
        if (o.answer.get<ServerResponse::SettingsFetched>()) {
            return true;
        }
        EXPECT_EQ(failure(o), VKError::fileDoesNotExist);
        return false;
    }
    bool maySubscribe(const daemon::Caller& c) {
        const auto o = store().handle(c, ClientRequest::SetHasSubscription{subId, true});
        if (o.answer.get<ServerResponse::RequestSucceeded>()) {
            return true;
        }
        EXPECT_EQ(failure(o), VKError::fileDoesNotExist);
        return false;
    }
};

}  // namespace

TEST_F(AccessTest, UserFileBelongsToItsUserAndToRoot) {
    LogCapture logs;
    // Eve may not create Alice's file; the refusal does not reveal whether it exists.
    EXPECT_EQ(failure(create(eve, tree())), VKError::fileDoesNotExist);
    EXPECT_TRUE(logs->contains(LogLevel::warning, "for uid 1001"));
    ASSERT_NE(create(alice, tree()).answer.get<ServerResponse::RequestSucceeded>(), nullptr);
    EXPECT_EQ(failure(create(eve, tree())), VKError::fileDoesNotExist);

    logs->clear();
    EXPECT_EQ(failure(fetch(eve)), VKError::fileDoesNotExist);
    EXPECT_TRUE(logs->contains(LogLevel::warning, "read 1000@org.example.app for uid 1001"));
    EXPECT_FALSE(mayResolve(eve));
    EXPECT_FALSE(maySubscribe(eve));
    EXPECT_FALSE(mayUpdate(eve, 0));
    EXPECT_EQ(failure(remove(eve)), VKError::fileDoesNotExist);
    EXPECT_TRUE(logs->contains(LogLevel::warning, "write 1000@org.example.app for uid 1001"));

    EXPECT_TRUE(mayResolve(bob));
    EXPECT_TRUE(maySubscribe(bob));
    EXPECT_TRUE(mayUpdate(bob, 0));
    EXPECT_TRUE(mayResolve(root));
    EXPECT_TRUE(mayUpdate(root, 1));
    EXPECT_EQ(fetched(fetch(root, "sub/x")).number, 101);

    // Root may create and delete any user's file; that user reads it, others do not.
    ASSERT_NE(create(root, dict(newId(), {}), 1001).answer.get<ServerResponse::RequestSucceeded>(),
              nullptr);
    EXPECT_EQ(fetched(fetch(eve, "", false, 1001)).kind, ValueKind::dictionary);
    EXPECT_EQ(failure(fetch(alice, "", false, 1001)), VKError::fileDoesNotExist);
    EXPECT_NE(remove(root, 1001).answer.get<ServerResponse::SettingsDeleted>(), nullptr);
}

TEST_F(AccessTest, SharedFileIsReadByEveryoneAndWrittenByRootOnly) {
    EXPECT_EQ(failure(create(alice, tree(), daemon::Access::sharedUser)),
              VKError::fileDoesNotExist);
    ASSERT_NE(create(root, tree(), daemon::Access::sharedUser)
                  .answer.get<ServerResponse::RequestSucceeded>(),
              nullptr);

    for (const auto& reader : {alice, eve}) {
        EXPECT_EQ(fetched(fetch(reader, "sub/x", false, daemon::Access::sharedUser)).number, 1);
        EXPECT_TRUE(mayResolve(reader));
        EXPECT_TRUE(maySubscribe(reader));
        EXPECT_FALSE(mayUpdate(reader, 0));
        EXPECT_EQ(failure(remove(reader, daemon::Access::sharedUser)), VKError::fileDoesNotExist);
    }
    EXPECT_TRUE(mayUpdate(root, 0));
    EXPECT_NE(
        remove(root, daemon::Access::sharedUser).answer.get<ServerResponse::SettingsDeleted>(),
        nullptr);
}
