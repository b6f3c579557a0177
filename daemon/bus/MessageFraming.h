#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace velkor::daemon {

/// Follows the framing of what a peer sends on a D-Bus connection, byte by byte as it arrives,
/// without keeping it: the authentication lines up to "BEGIN", then messages, each of whose
/// fixed header declares its length. It says how much of a message has arrived and how many
/// messages are whole, and refuses a message declared longer than `maxMessageBytes`, or what is
/// not D-Bus framing, as soon as the header shows it.
class MessageFraming {
  public:
    /// Bytes the authentication lines may take before the first message.
    static constexpr std::size_t kMaxAuthBytes = 16 * 1024;

    explicit MessageFraming(std::size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

    /// Follows `size` more bytes; gives why they are refused, or nothing. Once refused, it
    /// follows nothing more.
    std::optional<std::string> follow(const std::uint8_t* data, std::size_t size);

    /// The bytes of the message begun and not yet whole; 0 between messages.
    std::size_t incomplete() const { return incomplete_; }
    /// The length the message begun declares; 0 until its fixed header has arrived.
    std::uint64_t declared() const { return declared_; }
    /// How many messages have arrived whole.
    std::uint64_t messages() const { return messages_; }

  private:
    std::optional<std::string> followAuth(const std::uint8_t* data, std::size_t size,
                                          std::size_t& used);
    std::optional<std::string> headerDone();

    std::size_t maxMessageBytes_;
    std::optional<std::string> refused_;
    bool authenticated_ = false;
    std::size_t authBytes_ = 0;
    std::string line_;
    std::array<std::uint8_t, 16> header_{};
    std::size_t headerBytes_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t declared_ = 0;
    std::size_t incomplete_ = 0;
    std::uint64_t messages_ = 0;
};

}  // namespace velkor::daemon
