#include "dbus/TaggedMember.h"

#include <systemd/sd-bus.h>

#include <string_view>

#include "dbus/MessageReader.h"

namespace velkor::dbus {

std::variant<TaggedMember, Refusal> readTaggedMember(const Message& message,
                                                     std::span<const char* const> members,
                                                     std::span<const char* const> signatures) {
    using Reason = Refusal::Reason;
    const std::string_view name = message.member();
    std::size_t index = 0;
    while (index < members.size() && name != members[index])
        ++index;
    if (index == members.size())
        return Refusal{Reason::unknownMember,
                       SD_BUS_ERROR_UNKNOWN_METHOD,
                       "unknown member '" + std::string(name) + "'",
                       {}};
    std::string member(name);
    if (message.signature() != signatures[index])
        return Refusal{Reason::wrongSignature,
                       SD_BUS_ERROR_INVALID_ARGS,
                       "wrong signature '" + std::string(message.signature()) + "' for " + member,
                       {}};
    if (sd_bus_message_rewind(message.get(), 1) < 0)
        return Refusal{Reason::invalidArgument,
                       SD_BUS_ERROR_INVALID_ARGS,
                       "unreadable arguments of " + member,
                       {}};
    auto tag = MessageReader(message.get()).uuid();
    if (!tag)
        return Refusal{Reason::invalidArgument,
                       SD_BUS_ERROR_INVALID_ARGS,
                       "tag of " + member + " is not 16 bytes",
                       {}};
    return TaggedMember{index, std::move(member), *tag};
}

std::optional<UUID> leadingTag(const Message& message) {
    if (!message.signature().starts_with("ay") || sd_bus_message_rewind(message.get(), 1) < 0)
        return std::nullopt;
    return MessageReader(message.get()).uuid();
}

}  // namespace velkor::dbus
