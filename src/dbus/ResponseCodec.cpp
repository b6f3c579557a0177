#include "dbus/ResponseCodec.h"

#include "dbus/BusError.h"
#include "dbus/MessageReader.h"
#include "dbus/MessageWriter.h"
#include "dbus/TaggedMember.h"
#include "internals/SettingsService.h"
#include "utils/Overloaded.h"

namespace velkor::dbus {

namespace {

using Service = SettingsResponseService;
using Reason = Refusal::Reason;

/// Reads the arguments after the tag of the member with index `index` into `received`; false
/// when they are not valid. Members are listed in the order of ServerResponse's cases.
bool readPayload(std::size_t index, MessageReader& in, ReceivedResponse& received) {
    switch (index) {
        case 0: {
            auto code = in.int64();
            if (!code)
                return false;
            received.rawValue = *code;
            auto error = VKError::fromRawValue(*code).value_or(VKError::serverError);
            received.response = ServerResponse::RequestHasFailed{error};
            return true;
        }
        case 1: {
            auto data = in.blob();
            if (!data)
                return false;
            received.response = ServerResponse::SettingsFetched{*data};
            return true;
        }
        case 2: {
            auto raw = in.int64();
            auto revision = in.int64();
            if (!raw || !revision)
                return false;
            received.rawValue = *raw;
            if (auto result = changeResultFromRawValue(*raw))
                received.response = ServerResponse::SettingsUpdated{*result, *revision};
            return true;
        }
        case 3: {
            auto rootId = in.uuid();
            if (!rootId)
                return false;
            received.response = ServerResponse::SettingsDeleted{*rootId};
            return true;
        }
        case 4: {
            auto changes = in.records();
            auto paths = changes ? in.texts() : std::nullopt;
            if (!changes || !paths || changes->size() != paths->size())
                return false;
            received.response = ServerResponse::NoteChanges{std::move(*changes), std::move(*paths)};
            return true;
        }
        case 5:
            received.response = ServerResponse::RequestSucceeded{};
            return true;
        default:
            return false;
    }
}

}  // namespace

Message ResponseCodec::build(BusConnection& bus, const std::string& destination, const UUID& tag,
                             const ServerResponse& response) {
    sd_bus_message* raw = nullptr;
    BusError::check(sd_bus_message_new_signal(bus.get(), &raw, dbus_names::kObjectPath,
                                              dbus_names::kResponseInterface,
                                              Service::kMembers[response.index()]),
                    "Creating an answer");
    Message signal(raw);
    if (!destination.empty()) {
        BusError::check(sd_bus_message_set_destination(raw, destination.c_str()),
                        "Addressing an answer");
    }
    MessageWriter out(raw);
    out.uuid(tag);
    std::visit(
        Overloaded{
            [&](const ServerResponse::RequestHasFailed& r) { out.int64(r.error.rawValue()); },
            [&](const ServerResponse::SettingsFetched& r) { out.bytes(r.data.bytes()); },
            [&](const ServerResponse::SettingsUpdated& r) {
                out.int64(rawValue(r.changeResult));
                out.int64(r.newRevision);
            },
            [&](const ServerResponse::SettingsDeleted& r) { out.uuid(r.rootId); },
            [&](const ServerResponse::NoteChanges& r) {
                out.records(r.changeNotifications);
                out.texts(r.changePaths);
            },
            [&](const ServerResponse::RequestSucceeded&) {},
        },
        response.payload());
    return signal;
}

ResponseCodec::Parsed ResponseCodec::parse(const Message& signal) {
    if (signal.type() != SD_BUS_MESSAGE_SIGNAL || signal.path() != dbus_names::kObjectPath ||
        signal.interface() != dbus_names::kResponseInterface)
        return Refusal{Reason::notForUs, SD_BUS_ERROR_NOT_SUPPORTED, "not an answer signal", {}};
    auto head = readTaggedMember(signal, Service::kMembers, Service::kSignatures);
    if (auto* refusal = std::get_if<Refusal>(&head))
        return std::move(*refusal);
    const auto& [index, member, tag] = std::get<TaggedMember>(head);
    MessageReader in(signal.get());
    ReceivedResponse received{tag, index, 0, std::nullopt};
    if (!readPayload(index, in, received))
        return Refusal{Reason::invalidArgument, SD_BUS_ERROR_INVALID_ARGS,
                       "invalid arguments of " + member, tag};
    return received;
}

}  // namespace velkor::dbus
