#include "dbus/RequestCodec.h"

#include <cerrno>
#include <optional>

#include "dbus/BusError.h"
#include "dbus/MessageReader.h"
#include "dbus/MessageWriter.h"
#include "dbus/TaggedMember.h"
#include "internals/SettingsService.h"
#include "utils/Overloaded.h"

namespace velkor::dbus {

namespace {

using Service = SettingsRequestService;
using Reason = Refusal::Reason;

/// Reads the arguments after the tag of the member with index `index`. Members are listed in
/// the order of ClientRequest's cases.
std::optional<ClientRequest> readPayload(std::size_t index, MessageReader& in) {
    switch (index) {
        case 0: {
            auto data = in.blob();
            auto domain = in.text();
            auto user = in.uint32();
            if (!data || !domain || !user)
                return std::nullopt;
            return ClientRequest::CreateSettings{*data, *domain, *user};
        }
        case 1: {
            auto domain = in.text();
            auto user = in.uint32();
            auto path = in.text();
            auto recursive = in.boolean();
            if (!domain || !user || !path || !recursive)
                return std::nullopt;
            return ClientRequest::FetchSettings{*domain, *user, *path, *recursive};
        }
        case 2: {
            auto change = in.record();
            if (!change)
                return std::nullopt;
            return ClientRequest::UpdateSettings{change};
        }
        case 3: {
            auto id = in.uuid();
            auto recursive = in.boolean();
            if (!id || !recursive)
                return std::nullopt;
            return ClientRequest::ResolveSettings{*id, *recursive};
        }
        case 4: {
            auto domain = in.text();
            auto user = in.uint32();
            if (!domain || !user)
                return std::nullopt;
            return ClientRequest::DeleteSettings{*domain, *user};
        }
        case 5: {
            auto id = in.uuid();
            auto subscribed = in.boolean();
            if (!id || !subscribed)
                return std::nullopt;
            return ClientRequest::SetHasSubscription{*id, *subscribed};
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

Message RequestCodec::build(BusConnection& bus, const std::string& destination, const UUID& tag,
                            const ClientRequest& request) {
    sd_bus_message* raw = nullptr;
    BusError::check(sd_bus_message_new_method_call(
                        bus.get(), &raw, destination.empty() ? nullptr : destination.c_str(),
                        dbus_names::kObjectPath, dbus_names::kRequestInterface,
                        Service::kMembers[request.index()]),
                    "Creating a request");
    Message call(raw);
    BusError::check(sd_bus_message_set_expect_reply(raw, 0), "Making a request one-way");
    MessageWriter out(raw);
    out.uuid(tag);
    std::visit(Overloaded{
                   [&](const ClientRequest::CreateSettings& r) {
                       out.bytes(r.data.bytes());
                       out.text(r.domain);
                       out.uint32(r.user);
                   },
                   [&](const ClientRequest::FetchSettings& r) {
                       out.text(r.domain);
                       out.uint32(r.user);
                       out.text(r.path);
                       out.boolean(r.recursiveFetch);
                   },
                   [&](const ClientRequest::UpdateSettings& r) {
                       if (!r.change)
                           throw BusError("Sending an update without a change record", EINVAL);
                       out.record(*r.change);
                   },
                   [&](const ClientRequest::ResolveSettings& r) {
                       out.uuid(r.containerId);
                       out.boolean(r.recursiveFetch);
                   },
                   [&](const ClientRequest::DeleteSettings& r) {
                       out.text(r.domain);
                       out.uint32(r.user);
                   },
                   [&](const ClientRequest::SetHasSubscription& r) {
                       out.uuid(r.containerId);
                       out.boolean(r.hasSubscription);
                   },
               },
               request.payload());
    return call;
}

RequestCodec::Parsed RequestCodec::parse(const Message& call, std::size_t maxBytes) {
    if (call.type() != SD_BUS_MESSAGE_METHOD_CALL)
        return Refusal{Reason::notForUs, SD_BUS_ERROR_NOT_SUPPORTED, "not a method call", {}};
    if (call.path() != dbus_names::kObjectPath)
        return Refusal{Reason::notForUs,
                       SD_BUS_ERROR_UNKNOWN_OBJECT,
                       "unknown object path '" + std::string(call.path()) + "'",
                       {}};
    if (call.interface() != dbus_names::kRequestInterface)
        return Refusal{Reason::notForUs,
                       SD_BUS_ERROR_UNKNOWN_INTERFACE,
                       "unknown interface '" + std::string(call.interface()) + "'",
                       {}};
    auto head = readTaggedMember(call, Service::kMembers, Service::kSignatures);
    if (auto* refusal = std::get_if<Refusal>(&head))
        return std::move(*refusal);
    const auto& [index, member, tag] = std::get<TaggedMember>(head);
    MessageReader in(call.get(), maxBytes);
    auto payload = readPayload(index, in);
    if (in.oversize())
        return Refusal{Reason::tooLarge, SD_BUS_ERROR_LIMITS_EXCEEDED,
                       "it carries " + std::to_string(in.oversize()) + " bytes", tag};
    if (!payload)
        return Refusal{Reason::invalidArgument, SD_BUS_ERROR_INVALID_ARGS,
                       "invalid arguments of " + member, tag};
    return Tagged<ClientRequest>{tag, std::move(*payload)};
}

}  // namespace velkor::dbus
