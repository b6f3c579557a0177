#include "velkor/UUID.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velkor {

namespace {

// Counts the fork() calls of this process. A child inherits its parent's pools: it must draw new
// bytes rather than hand out those its parent hands out too, or both would make the same ids.
std::atomic<unsigned> forks{0};
[[maybe_unused]] const int forksCounted =
    ::pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });

// Random bytes are drawn from the kernel in blocks and handed out per thread, so that a request
// tag costs a copy rather than a system call.
class RandomPool {
  public:
    void fill(std::uint8_t* out, std::size_t n) {
        if (used_ + n > sizeof(pool_) || forks_ != forks.load(std::memory_order_relaxed)) {
            refill();
        }
        std::memcpy(out, pool_ + used_, n);
        used_ += n;
    }

  private:
    void refill() {
        std::size_t got = 0;
        while (got < sizeof(pool_)) {
            ssize_t r = getrandom(pool_ + got, sizeof(pool_) - got, 0);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::runtime_error("getrandom failed");
            }
            got += static_cast<std::size_t>(r);
        }
        used_ = 0;
        forks_ = forks.load(std::memory_order_relaxed);
    }

    std::uint8_t pool_[1024];
    std::size_t used_ = sizeof(pool_);
    unsigned forks_ = 0;
};

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr bool isHyphenPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

}  // namespace

UUID UUID::random() {
    thread_local RandomPool pool;
    Bytes b;
    pool.fill(b.data(), b.size());
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(b);
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Bytes b{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0 || isHyphenPosition(i + 1))
            return std::nullopt;
        b[out++] = static_cast<std::uint8_t>((hi << 4) | lo);
        i += 2;
    }
    return UUID(b);
}

std::optional<UUID> UUID::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 16) {
        return std::nullopt;
    }
    Bytes b;
    std::memcpy(b.data(), bytes.data(), 16);
    return UUID(b);
}

bool UUID::isZero() const {
    for (auto v : bytes_) {
        if (v != 0)
            return false;
    }
    return true;
}

std::string UUID::description() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s.push_back('-');
        s.push_back(digits[bytes_[i] >> 4]);
        s.push_back(digits[bytes_[i] & 0x0F]);
    }
    return s;
}

}  // namespace velkor
