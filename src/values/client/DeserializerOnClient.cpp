#include "values/client/DeserializerOnClient.h"

#include <algorithm>

#include "basalt/QZLogger.h"
#include "connection/RegistryOfContainers.h"
#include "internals/InnerConnection.h"
#include "values/client/ContainerProxy.h"
#include "velkor/VKArray.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.DeserializerOnClient");

std::optional<DeserializerOnClient> DeserializerOnClient::make(
    Blob blob, std::shared_ptr<InnerConnection> connection) {
    auto base = DeserializerBase::make(std::move(blob));
    if (!base || !connection) {
        return std::nullopt;
    }
    return DeserializerOnClient(std::move(*base), std::move(connection));
}

VKObjectPtr DeserializerOnClient::decodeVKObject() {
    auto kind = decodeKind();
    if (!kind) {
        log.error("Can't get 'kind' of VKObject.");
        return nullptr;
    }
    switch (*kind) {
        case VKObjectBase::Kind::number:
            return VKNumber::decode(*this);
        case VKObjectBase::Kind::string: {
            auto text = decodeString();
            return text ? std::make_shared<VKString>(std::move(*text)) : nullptr;
        }
        case VKObjectBase::Kind::data:
            return VKData::decode(*this);
        case VKObjectBase::Kind::array:
        case VKObjectBase::Kind::dictionary:
            return decodeContainer(*kind);
        case VKObjectBase::Kind::containerProxy:
            return ContainerProxy::deserialize(*this);
    }
    return nullptr;
}

VKObjectPtr DeserializerOnClient::decodeContainer(VKObjectBase::Kind kind) {
    if (nesting_ == kMaximumNesting) {
        log.error("Can't decode containers nested deeper than %d levels.", kMaximumNesting);
        return nullptr;
    }
    struct Level {
        explicit Level(int& n) : n(n) { ++n; }
        ~Level() { --n; }
        int& n;
    } level(nesting_);
    if (kind == VKObjectBase::Kind::array) {
        return VKArray::decode(*this);
    }
    return VKDictionary::decode(*this);
}

std::optional<DeserializerOnClient::ContainerHeader> DeserializerOnClient::decodeContainerHeader() {
    auto id = decodeUuid();
    auto rootId = decodeUuid();
    auto revision = decodeInteger();
    auto count = decodeCount();
    if (!id || !rootId || !revision || !count || !containersInFull_.insert(*id).second) {
        return std::nullopt;
    }
    return ContainerHeader{*id, *rootId, *revision, *count};
}

std::size_t DeserializerOnClient::boundedCapacity(std::int64_t count,
                                                  std::size_t minimumItemBytes) const {
    const std::size_t fits = remainingBytes() / minimumItemBytes;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count), fits));
}

void DeserializerOnClient::registerContainer(const std::shared_ptr<VKContainer>& container) {
    connection_->registryOfContainers().registerContainer(container);
}

}  // namespace velkor
