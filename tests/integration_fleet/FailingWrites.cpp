#include "FailingWrites.h"

#include <cstring>
#include <mutex>

namespace velkor::fleet::test {
namespace {

struct State {
    enum class Mode { succeed, failAll, allowThread };

    std::mutex mutex;
    Mode mode = Mode::succeed;
    std::thread::id allowed;
    int commitsLeft = 0;
    /// The allowed thread has written a commit frame's header; its page comes next.
    bool finishingCommit = false;
};

State& state() {
    static State shared;
    return shared;
}

/// What the wrapping layer keeps of a file, behind the wrapped layer's own file, which is used as
/// it is: its methods, with the write swapped for one that may fail.
struct Trailer {
    sqlite3_io_methods methods;
    const sqlite3_io_methods* real;
    bool wal;
};

sqlite3_vfs* wrappedVfs = nullptr;

/// Where a file's trailer starts: where the wrapped layer's file ends, rounded up to align it.
std::size_t trailerOffset() {
    constexpr auto align = alignof(Trailer);
    return (static_cast<std::size_t>(wrappedVfs->szOsFile) + align - 1) / align * align;
}

Trailer& trailer(sqlite3_file* file) {
    return *reinterpret_cast<Trailer*>(reinterpret_cast<char*>(file) + trailerOffset());
}

/// Whether `data` is the header of a WAL frame that commits a transaction: a frame's 24-byte
/// header holds, at offset 4, the database's size in pages after the commit, and zero in the
/// frames before it.
bool commitHeader(const Trailer& file, const void* data, int amount) {
    static constexpr unsigned char zero[4] = {};
    return file.wal && amount == 24 &&
           std::memcmp(static_cast<const unsigned char*>(data) + 4, zero, 4) != 0;
}

bool mayWrite(const Trailer& file, const void* data, int amount) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    switch (s.mode) {
        case State::Mode::succeed:
            return true;
        case State::Mode::failAll:
            return false;
        case State::Mode::allowThread:
            break;
    }
    if (std::this_thread::get_id() != s.allowed || s.commitsLeft <= 0)
        return false;
    // SQLite writes a frame's header and its page separately: the commit is done once the page
    // of its last frame is written.
    if (s.finishingCommit) {
        s.finishingCommit = false;
        --s.commitsLeft;
    } else if (commitHeader(file, data, amount)) {
        s.finishingCommit = true;
    }
    return true;
}

int write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    if (!mayWrite(trailer(file), data, amount))
        return SQLITE_FULL;
    return trailer(file).real->xWrite(file, data, amount, offset);
}

int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    const int rc = wrappedVfs->xOpen(wrappedVfs, name, file, flags, outFlags);
    // SQLite closes a file whose methods are set, also after a failed open.
    if (file->pMethods) {
        auto& t = trailer(file);
        t.real = file->pMethods;
        t.methods = *file->pMethods;
        t.methods.xWrite = write;
        t.wal = (flags & SQLITE_OPEN_WAL) != 0;
        file->pMethods = &t.methods;
    }
    return rc;
}
int remove(sqlite3_vfs*, const char* name, int syncDir) {
    return wrappedVfs->xDelete(wrappedVfs, name, syncDir);
}
int access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return wrappedVfs->xAccess(wrappedVfs, name, flags, out);
}
int fullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return wrappedVfs->xFullPathname(wrappedVfs, name, size, out);
}

}  // namespace

FailingWrites::FailingWrites() {
    wrappedVfs = sqlite3_vfs_find(nullptr);
    // Calls about files are passed on to the wrapped layer; the others (time, randomness,
    // sleep) are its own, which do not look at the layer they are called through.
    vfs_ = *wrappedVfs;
    vfs_.szOsFile = static_cast<int>(trailerOffset() + sizeof(Trailer));
    vfs_.zName = "velkor-failing-writes";
    vfs_.xOpen = open;
    vfs_.xDelete = remove;
    vfs_.xAccess = access;
    vfs_.xFullPathname = fullPathname;
    succeed();
    sqlite3_vfs_register(&vfs_, 1);
}

FailingWrites::~FailingWrites() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(wrappedVfs, 1);
    succeed();
}

void FailingWrites::failAll() {
    std::lock_guard lock(state().mutex);
    state().mode = State::Mode::failAll;
}

void FailingWrites::allowCommits(int count) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.mode = State::Mode::allowThread;
    s.allowed = std::this_thread::get_id();
    s.commitsLeft = count;
    s.finishingCommit = false;
}

void FailingWrites::succeed() {
    std::lock_guard lock(state().mutex);
    state().mode = State::Mode::succeed;
}

}  // namespace velkor::fleet::test
