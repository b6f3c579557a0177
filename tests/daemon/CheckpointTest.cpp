#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <thread>

#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

// Copying the write-ahead log back into the database: on the checkpointer's thread while the
// store keeps committing, and on the committing thread once the log passes its bound.
class CheckpointTest : public ::testing::Test {
  protected:
    void open(daemon::Checkpointer::Thresholds thresholds) {
        store_.emplace(dir_.file("settings.db"), daemon::Durability::normal, daemon::StoreLimits{},
                       thresholds);
    }

    void create() {
        ASSERT_TRUE(succeeded(
            store_->handle(alice, ClientRequest::CreateSettings{Blob(clientBlob(dict(rootId_, {}))),
                                                                "org.example.app", 1000})));
    }

    /// Sets "k" to the next revision's number.
    void commit() {
        const auto outcome =
            store_->handle(alice, setting(rootId_, revision_, "k", num(revision_)));
        ASSERT_EQ(doneAt(outcome), ++revision_);
    }

    /// The log's length and how much of it has been copied into the database, in frames, as
    /// SQLite's wal-index (the -shm file, in its documented layout) records them.
    std::pair<std::uint32_t, std::uint32_t> logFrames() {
        std::ifstream shm(dir_.file("settings.db-shm"), std::ios::binary);
        char head[100] = {};
        shm.read(head, sizeof head);
        std::uint32_t frames = 0, copied = 0;
        std::memcpy(&frames, head + 16, sizeof frames);
        std::memcpy(&copied, head + 96, sizeof copied);
        return {frames, copied};
    }

    TempDir dir_;
    const UUID rootId_ = newId();
    std::int64_t revision_ = 0;
    std::optional<daemon::SettingsStore> store_;
};

TEST_F(CheckpointTest, TheLogIsCopiedOnAnotherThreadWhileCommitsGoOn) {
    open({.background = 4, .inlineAt = INT_MAX});
    create();
    for (int i = 0; i < 60; ++i) {
        commit();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto [frames, copied] = logFrames();
    while (copied != frames && std::chrono::steady_clock::now() < deadline) {
        // Past the last copy's start, fewer than `background` frames may be left: one more
        // commit wakes the thread again.
        if (frames - copied >= 4) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            commit();
        }
        std::tie(frames, copied) = logFrames();
    }
    EXPECT_GT(frames, 0u);
    EXPECT_EQ(copied, frames);
}

TEST_F(CheckpointTest, ASteadyStreamOfCommitsKeepsTheLogBounded) {
    // No background copies: the committing thread copies once the log holds 8 frames, and the
    // next commit starts the log afresh.
    open({.background = INT_MAX, .inlineAt = 8});
    create();
    std::uint32_t longest = 0;
    for (int i = 0; i < 100; ++i) {
        commit();
        longest = std::max(longest, logFrames().first);
    }
    EXPECT_LE(longest, 8u + 3u);  // a commit writes at most three frames here
    store_.reset();
    open({});
    EXPECT_EQ(fetched(store_->handle(
                  alice, ClientRequest::FetchSettings{"org.example.app", 1000, "k", false})),
              daemonBlob(num(revision_ - 1)));
}

}  // namespace
