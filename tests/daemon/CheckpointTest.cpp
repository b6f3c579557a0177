#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <thread>

#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

// Copying the write-ahead log back into the database: on the checkpointer's thread while the
// store keeps committing, and on the committing thread once the log passes its bound.
class CheckpointTest : public StoreTest {};

TEST_F(CheckpointTest, TheLogIsCopiedInTheBackgroundAndStaysBounded) {
    const UUID rootId = newId();
    std::int64_t revision = 0;
    auto commit = [&] {
        const auto outcome = set(alice, rootId, revision, "k", num(revision));
        ASSERT_EQ(doneAt(outcome), ++revision);
    };
    // The log's length and how much of it has been copied, in frames, from SQLite's wal-index
    // (the -shm file, in its documented layout).
    auto logFrames = [&] {
        std::ifstream shm(dir_.file("settings.db-shm"), std::ios::binary);
        char head[100] = {};
        shm.read(head, sizeof head);
        std::uint32_t frames = 0, copied = 0;
        std::memcpy(&frames, head + 16, sizeof frames);
        std::memcpy(&copied, head + 96, sizeof copied);
        return std::pair(frames, copied);
    };

    reopen({}, {.background = 4, .inlineAt = INT_MAX});
    ASSERT_TRUE(succeeded(create(alice, dict(rootId, {}))));
    for (int i = 0; i < 60; ++i)
        commit();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto [frames, copied] = logFrames();
    while (copied != frames && std::chrono::steady_clock::now() < deadline) {
        // Fewer than `background` frames left wait for the next commit.
        if (frames - copied < 4)
            commit();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::tie(frames, copied) = logFrames();
    }
    EXPECT_GT(frames, 0u);
    EXPECT_EQ(copied, frames);

    // No background copies: the committing thread copies once the log holds 8 frames, and the
    // next commit starts the log afresh.
    reopen({}, {.background = INT_MAX, .inlineAt = 8});
    std::uint32_t longest = 0;
    for (int i = 0; i < 100; ++i) {
        commit();
        longest = std::max(longest, logFrames().first);
    }
    EXPECT_LE(longest, 8u + 3u);  // a commit writes at most three frames here
    reopen();
    EXPECT_EQ(fetched(fetch(alice, "k")), daemonBlob(num(revision - 1)));
}
