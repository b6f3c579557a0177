#include "internals/ChangeNotification.h"

#include "basalt/QZLogger.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log =
        basalt::QZLogger::loggerWithIdentifier("Velkor.Internals.ChangeNotification");
    return log;
}

}  // namespace

VKChangeNotification::VKChangeNotification(ChangeType type, const UUID& id, std::int64_t revision,
                                           std::int64_t from, std::int64_t to, std::string key,
                                           std::vector<std::uint8_t> data)
    : type(type),
      id(id),
      revision(revision),
      from(from),
      to(to),
      key(std::move(key)),
      data(std::move(data)) {}

std::shared_ptr<VKChangeNotification> VKChangeNotification::decode(
    const KeyedArchiveReader& coder) {
    auto type = changeTypeFromRawValue(coder.decodeInteger("type").value_or(0));
    auto id = coder.decodeUuid("id");
    if (!type || !id) {
        logger().error("Can't decode properties of VKChangeNotification.");
        return nullptr;
    }
    return std::make_shared<VKChangeNotification>(
        *type, *id, coder.decodeInteger("revision").value_or(0),
        coder.decodeInteger("from").value_or(0), coder.decodeInteger("to").value_or(0),
        coder.decodeText("key").value_or(std::string()),
        coder.decodeBytes("data").value_or(std::vector<std::uint8_t>()));
}

void VKChangeNotification::encode(KeyedArchiveWriter& coder) const {
    coder.encodeInteger("type", rawValue(type));
    coder.encodeUuid("id", id);
    coder.encodeInteger("revision", revision);
    coder.encodeInteger("from", from);
    coder.encodeInteger("to", to);
    coder.encodeText("key", key);
    coder.encodeBytes("data", data);
}

std::string VKChangeNotification::description() const {
    return std::string(caseName(type));
}

}  // namespace velkor
