#pragma once

#include <optional>
#include <string>

#include "velkor/UUID.h"

namespace velkor::dbus {

/// Why a received message was not taken as a request or an answer.
struct Refusal {
    enum class Reason {
        /// Not a message of the interface read (another message type, object path or
        /// interface): meant for someone else.
        notForUs,
        /// The right interface, but a member it does not have.
        unknownMember,
        /// The member's arguments are not of its signature.
        wrongSignature,
        /// The arguments have the right types but not valid values: a UUID that is not 16
        /// bytes, a change record that does not decode, changes and paths of unequal counts.
        invalidArgument,
        /// An argument carries more bytes than the receiver takes; it was not copied.
        tooLarge,
    };

    Reason reason;
    /// The D-Bus error that fits, for answering a call that expects a reply (e.g.
    /// SD_BUS_ERROR_INVALID_ARGS).
    const char* errorName;
    /// What was wrong, for log lines.
    std::string detail;
    /// The message's tag, when it could be read: the daemon answers a request refused for its
    /// arguments under this tag.
    std::optional<UUID> tag;

    std::string description() const { return detail; }
};

}  // namespace velkor::dbus
