#include "bus/MessageFraming.h"

#include <algorithm>
#include <cstring>

namespace velkor::daemon {

namespace {

std::uint32_t u32(const std::uint8_t* p, bool little) {
    return little ? std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                        std::uint32_t(p[3]) << 24
                  : std::uint32_t(p[3]) | std::uint32_t(p[2]) << 8 | std::uint32_t(p[1]) << 16 |
                        std::uint32_t(p[0]) << 24;
}

}  // namespace

std::optional<std::string> MessageFraming::follow(const std::uint8_t* data, std::size_t size) {
    if (refused_)
        return refused_;
    std::size_t i = 0;
    if (!authenticated_)
        refused_ = followAuth(data, size, i);
    while (!refused_ && i < size) {
        if (headerBytes_ < header_.size()) {
            const std::size_t take = std::min(header_.size() - headerBytes_, size - i);
            std::memcpy(header_.data() + headerBytes_, data + i, take);
            headerBytes_ += take;
            incomplete_ += take;
            i += take;
            if (headerBytes_ == header_.size())
                refused_ = headerDone();
        } else {
            const auto take = static_cast<std::size_t>(
                std::min<std::uint64_t>(remaining_, static_cast<std::uint64_t>(size - i)));
            remaining_ -= take;
            incomplete_ += take;
            i += take;
        }
        if (!refused_ && headerBytes_ == header_.size() && remaining_ == 0) {
            ++messages_;
            incomplete_ = 0;
            headerBytes_ = 0;
            declared_ = 0;
        }
    }
    return refused_;
}

std::optional<std::string> MessageFraming::followAuth(const std::uint8_t* data, std::size_t size,
                                                      std::size_t& used) {
    for (used = 0; used < size;) {
        const auto c = static_cast<char>(data[used++]);
        // The stream opens with one NUL byte, then lines of text that end with "\r\n"; after
        // the line "BEGIN" come the messages.
        if (authBytes_++ == 0 && c == '\0')
            continue;
        if (authBytes_ > kMaxAuthBytes)
            return "it sends more than " + std::to_string(kMaxAuthBytes) +
                   " bytes before its first message";
        if (c != '\n') {
            line_ += c;
            continue;
        }
        const bool begin = line_ == "BEGIN\r";
        line_.clear();
        if (begin) {
            authenticated_ = true;
            line_.shrink_to_fit();
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::string> MessageFraming::headerDone() {
    const char endian = static_cast<char>(header_[0]);
    if ((endian != 'l' && endian != 'B') || header_[3] != 1)
        return std::string("it sends what is not a D-Bus message");
    const bool little = endian == 'l';
    const std::uint64_t body = u32(&header_[4], little), fields = u32(&header_[12], little);
    // The header's fields start at 16, and the body at the next multiple of 8 after them.
    const std::uint64_t total = ((header_.size() + fields + 7) & ~std::uint64_t(7)) + body;
    if (total > maxMessageBytes_)
        return "it declares a message of " + std::to_string(total) + " bytes; at most " +
               std::to_string(maxMessageBytes_) + " are taken";
    remaining_ = total - header_.size();
    declared_ = total;
    return std::nullopt;
}

}  // namespace velkor::daemon
