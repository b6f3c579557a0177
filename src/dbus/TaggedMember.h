#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "dbus/Message.h"
#include "dbus/Refusal.h"
#include "velkor/UUID.h"

namespace velkor::dbus {

/// What every request and answer of the settings interfaces starts with: the member, found in
/// the interface's table, and the 16-byte tag that is its first argument.
struct TaggedMember {
    std::size_t index;   // in the interface's member table
    std::string member;  // its name, for log lines
    UUID tag;
};

/// Finds `message`'s member in `members`, checks its signature against the matching entry of
/// `signatures` and reads the tag, leaving `message`'s read position on the argument after it.
/// The caller has checked the message type, object path and interface.
std::variant<TaggedMember, Refusal> readTaggedMember(const Message& message,
                                                     std::span<const char* const> members,
                                                     std::span<const char* const> signatures);

/// The tag of a message whose signature is wrong or whose member is unknown, when its first
/// argument is one: 16 bytes.
std::optional<UUID> leadingTag(const Message& message);

}  // namespace velkor::dbus
