#include "values/client/DeserializerOnClient.h"

#include <algorithm>

#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "values/ParentsOfContainerBase.h"
#include "values/client/ContainerProxy.h"
#include "values/client/ServerOrder.h"
#include "velkor/VKArray.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.DeserializerOnClient");

namespace {

/// Reads the fields of a header for blob::fields, stopping at the first missing one.
struct HeaderReader {
    DeserializerBase& d;

    template <typename T>
    static bool take(std::optional<T> read, T& out) {
        if (!read)
            return false;
        out = std::move(*read);
        return true;
    }
    bool uuid(UUID& id) { return take(d.decodeUuid(), id); }
    bool integer(std::int64_t& value) { return take(d.decodeInteger(), value); }
    bool count(std::int64_t& value) { return take(d.decodeCount(), value); }
};

}  // namespace

std::optional<DeserializerOnClient> DeserializerOnClient::make(
    Blob blob, std::shared_ptr<InnerConnection> connection) {
    auto base = DeserializerBase::make(std::move(blob));
    if (!base || !connection) {
        return std::nullopt;
    }
    return DeserializerOnClient(std::move(*base), std::move(connection));
}

VKObjectPtr DeserializerOnClient::decodeVKObject() {
    ++depth_;
    auto value = decodeValue();
    if (--depth_ == 0) {
        if (value) {
            applyAdoptions();
        }
        adoptions_.clear();
    }
    return value;
}

VKObjectPtr DeserializerOnClient::decodeValue() {
    auto kind = decodeKind();
    if (!kind) {
        log.error("Can't get 'kind' of VKObject.");
        return nullptr;
    }
    switch (*kind) {
        case VKObjectBase::Kind::number: {
            auto number = decodeInteger();
            return number ? std::make_shared<VKNumber>(*number) : nullptr;
        }
        case VKObjectBase::Kind::string: {
            auto text = decodeString();
            return text ? std::make_shared<VKString>(std::move(*text)) : nullptr;
        }
        case VKObjectBase::Kind::data: {
            auto bytes = decodeData();
            return bytes ? std::make_shared<VKData>(std::move(*bytes)) : nullptr;
        }
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
        Level(int& n, std::vector<UUID>& ids) : n(n), ids(ids), size(ids.size()) { ++n; }
        ~Level() {
            --n;
            ids.resize(size);
        }
        int& n;
        std::vector<UUID>& ids;
        std::size_t size;
    } level(nesting_, inProgress_);
    if (kind == VKObjectBase::Kind::array) {
        return detail::ContainerAccess::decodeArray(*this);
    }
    return detail::ContainerAccess::decodeDictionary(*this);
}

std::optional<blob::DaemonHeader> DeserializerOnClient::decodeContainerHeader() {
    HeaderReader in{*this};
    blob::DaemonHeader header;
    if (!blob::fields(header, in) || !containersInFull_.insert(header.id).second) {
        return std::nullopt;
    }
    inProgress_.push_back(header.id);
    rootId_ = header.rootId;
    return header;
}

std::size_t DeserializerOnClient::boundedCapacity(std::int64_t count,
                                                  std::size_t minimumItemBytes) const {
    const std::size_t fits = remainingBytes() / minimumItemBytes;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count), fits));
}

std::shared_ptr<VKContainer> DeserializerOnClient::completeContainer(
    const std::shared_ptr<VKContainer>& container) {
    std::int64_t missed = 0;
    auto live = connection_->registryOfContainers().findOrRegister(container, true, &missed);
    if (live == container) {
        if (missed > container->revision()) {
            // The daemon reported a change of it before this answer was decoded: the report
            // found no container then, so the content is fetched again, and later reports wait
            // for it.
            container->withWriteItemsLock(
                [&] { detail::ContainerAccess::serverOrder(*container).missed(missed); });
            detail::ContainerAccess::bringBackLater(*container);
        }
        return container;
    }
    if (live->kind() != container->kind()) {
        log.error("Can't decode container (id=%@): it lives as another kind.", container->id());
        return nullptr;
    }
    // The container's own id is on top of the stack; only the containers around it count.
    inProgress_.pop_back();
    if (!mayPlace(live->id(), live)) {
        return nullptr;
    }
    adoptions_.push_back({live, container});
    return live;
}

bool DeserializerOnClient::mayPlace(const UUID& id, const std::shared_ptr<VKContainer>& live) {
    auto& registry = connection_->registryOfContainers();
    for (const auto& around : inProgress_) {
        if (around == id) {
            log.error("Can't place container (id=%@) inside itself.", id);
            return false;
        }
        if (!live) {
            continue;
        }
        auto aroundLive = registry.tryFind(around);
        if (aroundLive && aroundLive != live &&
            ParentsOfContainerBase::isAncestor(*live, *aroundLive)) {
            log.error("Can't place container (id=%@) inside its descendant (id=%@).", id, around);
            return false;
        }
    }
    return true;
}

void DeserializerOnClient::applyAdoptions() {
    for (auto& [live, fresh] : adoptions_) {
        detail::ContainerAccess::adoptContentOf(*live, *fresh);
    }
}

}  // namespace velkor
