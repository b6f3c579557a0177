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

/// A file of the wrapping layer: the wrapped layer's own file follows it in memory.
struct File {
    sqlite3_file base;
    bool wal;

    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_file* real(sqlite3_file* file) {
    return reinterpret_cast<File*>(file)->real();
}

/// Whether `data` is the header of a WAL frame that commits a transaction: a frame's 24-byte
/// header holds, at offset 4, the database's size in pages after the commit, and zero in the
/// frames before it.
bool commitHeader(const File& file, const void* data, int amount) {
    static constexpr unsigned char zero[4] = {};
    return file.wal && amount == 24 &&
           std::memcmp(static_cast<const unsigned char*>(data) + 4, zero, 4) != 0;
}

bool mayWrite(const File& file, const void* data, int amount) {
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
    if (!mayWrite(*reinterpret_cast<File*>(file), data, amount))
        return SQLITE_FULL;
    return real(file)->pMethods->xWrite(real(file), data, amount, offset);
}

// Everything else is passed on as it is.
int close(sqlite3_file* f) {
    return real(f)->pMethods->xClose(real(f));
}
int read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
    return real(f)->pMethods->xRead(real(f), data, amount, offset);
}
int truncate(sqlite3_file* f, sqlite3_int64 size) {
    return real(f)->pMethods->xTruncate(real(f), size);
}
int sync(sqlite3_file* f, int flags) {
    return real(f)->pMethods->xSync(real(f), flags);
}
int fileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int lock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}
int unlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}
int checkReservedLock(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int fileControl(sqlite3_file* f, int op, void* arg) {
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int sectorSize(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int deviceCharacteristics(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int shmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
}
int shmLock(sqlite3_file* f, int offset, int n, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void shmBarrier(sqlite3_file* f) {
    real(f)->pMethods->xShmBarrier(real(f));
}
int shmUnmap(sqlite3_file* f, int remove) {
    return real(f)->pMethods->xShmUnmap(real(f), remove);
}
int fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return real(f)->pMethods->xFetch(real(f), offset, amount, out);
}
int unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return real(f)->pMethods->xUnfetch(real(f), offset, page);
}

const sqlite3_io_methods methods = {
    .iVersion = 3,
    .xClose = close,
    .xRead = read,
    .xWrite = write,
    .xTruncate = truncate,
    .xSync = sync,
    .xFileSize = fileSize,
    .xLock = lock,
    .xUnlock = unlock,
    .xCheckReservedLock = checkReservedLock,
    .xFileControl = fileControl,
    .xSectorSize = sectorSize,
    .xDeviceCharacteristics = deviceCharacteristics,
    .xShmMap = shmMap,
    .xShmLock = shmLock,
    .xShmBarrier = shmBarrier,
    .xShmUnmap = shmUnmap,
    .xFetch = fetch,
    .xUnfetch = unfetch,
};

sqlite3_vfs* wrapped(sqlite3_vfs* vfs) {
    return static_cast<sqlite3_vfs*>(vfs->pAppData);
}

int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* f = reinterpret_cast<File*>(file);
    f->wal = (flags & SQLITE_OPEN_WAL) != 0;
    const int rc = wrapped(vfs)->xOpen(wrapped(vfs), name, f->real(), flags, outFlags);
    // SQLite closes a file whose methods are set, also after a failed open.
    f->base.pMethods = f->real()->pMethods ? &methods : nullptr;
    return rc;
}
int remove(sqlite3_vfs* vfs, const char* name, int syncDir) {
    return wrapped(vfs)->xDelete(wrapped(vfs), name, syncDir);
}
int access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
    return wrapped(vfs)->xAccess(wrapped(vfs), name, flags, out);
}
int fullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
    return wrapped(vfs)->xFullPathname(wrapped(vfs), name, size, out);
}

}  // namespace

FailingWrites::FailingWrites() {
    auto* real = sqlite3_vfs_find(nullptr);
    // Calls about files are passed on to the wrapped layer; the others (time, randomness,
    // sleep) are its own, which do not look at the layer they are called through.
    vfs_ = *real;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real->szOsFile;
    vfs_.zName = "velkor-failing-writes";
    vfs_.pAppData = real;
    vfs_.xOpen = open;
    vfs_.xDelete = remove;
    vfs_.xAccess = access;
    vfs_.xFullPathname = fullPathname;
    succeed();
    sqlite3_vfs_register(&vfs_, 1);
}

FailingWrites::~FailingWrites() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(wrapped(&vfs_), 1);
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
