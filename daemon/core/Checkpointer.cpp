#include "core/Checkpointer.h"

#include <exception>

#include "basalt/QZLogger.h"
#include "core/DatabaseError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Checkpointer");

}  // namespace

Checkpointer::Checkpointer(Database& writer, const std::string& path, Durability durability,
                           Thresholds thresholds)
    : writer_(writer), own_(path), thresholds_(thresholds) {
    own_.setDurability(durability);
    // A log that grew under a steady stream of commits is cut back when it starts afresh.
    writer_.exec("PRAGMA journal_size_limit = 4194304");
    thread_ = std::thread([this] { run(); });
    writer_.onCommit([this](int frames) { committed(frames); });
}

Checkpointer::~Checkpointer() {
    writer_.onCommit({});
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wanted_.notify_one();
    thread_.join();
}

void Checkpointer::committed(int frames) noexcept {
    frames_.store(frames);
    int copied = copied_.load();
    if (frames < copied) {
        // The log has started afresh since the last copy.
        copied_.compare_exchange_strong(copied, 0);
        copied = 0;
    }
    if (frames >= thresholds_.inlineAt && copied < frames) {
        try {
            if (const auto done = writer_.checkpoint()) {
                copied_.store(*done);
            }
        } catch (const std::exception& e) {
            log.error("Can't copy the write-ahead log into the store: %@", e.what());
        }
        return;
    }
    if (behind()) {
        std::lock_guard lock(mutex_);
        if (!pending_) {
            pending_ = true;
            wanted_.notify_one();
        }
    }
}

void Checkpointer::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wanted_.wait(lock, [this] { return pending_ || stopping_; });
        if (stopping_) {
            return;
        }
        lock.unlock();
        bool copied = false;
        try {
            if (const auto done = own_.checkpoint()) {
                copied_.store(*done);
                copied = true;
            }
        } catch (const DatabaseError& e) {
            log.error("Can't copy the write-ahead log into the store: %@", e.what());
        }
        lock.lock();
        // Commits made during a copy found it pending; they may have added enough for another.
        // After a failure, or while the committing thread copies, the next commit decides.
        pending_ = copied && behind();
    }
}

bool Checkpointer::behind() const {
    const int frames = frames_.load();
    const int copied = copied_.load();
    return frames >= copied && frames - copied >= thresholds_.background;
}

}  // namespace velkor::daemon
