// Bringing settings from the daemon into the process: fetching values, opening or creating
// settings files, resolving proxies, and the subscription flag containers report.
#include "basalt/QZLogger.h"
#include "connection/ConnectionImpl.h"
#include "internals/ContainerAccess.h"
#include "utils/KnownThings.h"
#include "values/client/ContainerProxy.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/SerializerOnClient.h"
#include "velkor/VKContainer.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
    return log;
}

using Map = LookupMapOfContainers::Map;

// The value one blob holds, decoded for `connection`; none when the blob is not decodable.
VKObjectPtr decodeBlob(const Blob& blob, const std::shared_ptr<InnerConnection>& connection) {
    auto decoder = DeserializerOnClient::make(blob, connection);
    return decoder ? decoder->decodeVKObject() : nullptr;
}

// A fetched container that arrived as a proxy is replaced by its real container.
std::shared_ptr<VKContainer> resolvedContainer(std::shared_ptr<VKContainer> container) {
    if (auto proxy = std::dynamic_pointer_cast<ContainerProxy>(container)) {
        return proxy->obtainRealContainer(nullptr);
    }
    return container;
}

// A new settings file needs a tree to be made of.
void requireRoot(const std::shared_ptr<VKContainer>& root) {
    if (!root) {
        logger().error("Root container can't be empty.");
        throw VKError(VKError::invalidData);
    }
}

// Encodes a new settings tree, under its read lock as every container encodes itself.
std::vector<std::uint8_t> encodeTree(const VKContainer& root, SerializerOnClient& encoder) {
    serialize(root, encoder);
    return encoder.takeArchiverData();
}

}  // namespace

VKObjectPtr ConnectionImpl::getSetting(const std::string& domain, const std::string& path,
                                       bool recursiveFetch, VKOwnership ownership) {
    throwIfShutDown();
    auto p = normalizeParams(domain, ownership, path);
    logger().debug("Getting settings for domain='%@', user=%d, path='%@'...", p.domain, p.user,
                   p.path);
    OperationDeadline deadline(requestTimeout_);
    // The whole fetch runs under the lookup map's lock, so two openings never overlap. Found
    // containers leave the callable by value, since a container may not be released inside it.
    return lookupMapOfContainers_.withLock([&](Map& map) -> VKObjectPtr {
        if (auto found = map.tryToFindContainerBy(p.domain, p.user, p.path)) {
            return found;
        }
        auto answer = send(ClientRequest::FetchSettings{p.domain, p.user, p.path, recursiveFetch});
        if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
            logger().error("Fetch settings failed with: %@", failed->error);
            throw failed->error;
        }
        auto* fetched = answer.get<ServerResponse::SettingsFetched>();
        if (!fetched) {
            logger().error("Fetch settings failed. Unexpected response: %@", answer);
            throw VKError(VKError::serverError);
        }
        auto value = decodeBlob(fetched->data, shared_from_this());
        if (!value) {
            logger().error("Can't decode object.");
            throw VKError(VKError::serverError);
        }
        auto container = detail::ContainerAccess::asClientContainer(value);
        if (!container) {
            return value;  // a plain value is not kept in the lookup map
        }
        container = resolvedContainer(std::move(container));
        if (recursiveFetch && container->onServer()) {
            container->prefetchContent(true);
        }
        map.registerContainer(container, p.domain, p.user, p.path);
        return container;
    });
}

VKConnection::OpenResult ConnectionImpl::openOrCreateSettings(
    const std::shared_ptr<VKContainer>& root, const std::string& domain, VKOwnership ownership) {
    auto p = normalizeParams(domain, ownership, {});
    requireRoot(root);
    logger().debug("Openning (or creating) settings file for domain='%@', user=%d...", p.domain,
                   p.user);
    OperationDeadline deadline(requestTimeout_);
    return lookupMapOfContainers_.withLock([&](Map& map) -> OpenResult {
        if (auto found = map.tryToFindContainerBy(p.domain, p.user, {})) {
            return {std::move(found), true};
        }
        throwIfShutDown();
        bool secondAttempt = false;
        for (;;) {
            auto answer = send(ClientRequest::FetchSettings{p.domain, p.user, {}, false});
            if (auto* fetched = answer.get<ServerResponse::SettingsFetched>()) {
                auto container = detail::ContainerAccess::asClientContainer(
                    decodeBlob(fetched->data, shared_from_this()));
                if (!container) {
                    logger().error("Can't decode object.");
                    throw VKError(VKError::serverError);
                }
                container = resolvedContainer(std::move(container));
                map.registerContainer(container, p.domain, p.user, {});
                return {std::move(container), true};
            }
            auto* failed = answer.get<ServerResponse::RequestHasFailed>();
            if (!failed) {
                logger().error("Fetch settings failed. Unexpected response: %@", answer);
                throw VKError(VKError::serverError);
            }
            if (failed->error != VKError::fileDoesNotExist) {
                logger().error("Fetch settings failed with: %@", failed->error);
                throw failed->error;
            }
            if (secondAttempt) {
                logger().error("Second fetch of settings failed with: %@", failed->error);
                throw VKError(VKError::fileDoesNotExist);
            }
            logger().debug("Settings file does not exist, so will try to create new one.");
            SerializerOnClient encoder;
            auto created = send(
                ClientRequest::CreateSettings{Blob(encodeTree(*root, encoder)), p.domain, p.user});
            if (created.get<ServerResponse::RequestSucceeded>()) {
                encoder.registerContainers(root->id(), *this);
                map.registerContainer(root, p.domain, p.user, {});
                return {root, false};
            }
            auto* refused = created.get<ServerResponse::RequestHasFailed>();
            if (!refused) {
                logger().error("Create settings failed. Unexpected response: %@", created);
                throw VKError(VKError::serverError);
            }
            if (refused->error != VKError::fileAlreadyExists) {
                logger().error("Create settings failed with: %@", refused->error);
                throw refused->error;
            }
            logger().debug(
                "Create settings failed with 'file already exists' error, so will retry fetching "
                "it.");
            secondAttempt = true;
            throwIfShutDown();
        }
    });
}

void ConnectionImpl::createSettings(const std::shared_ptr<VKContainer>& root,
                                    const std::string& domain, VKOwnership ownership) {
    throwIfShutDown();
    auto p = normalizeParams(domain, ownership, {});
    requireRoot(root);
    logger().debug("Creating settings file for domain='%@', user=%d...", p.domain, p.user);
    SerializerOnClient encoder;
    auto answer =
        send(ClientRequest::CreateSettings{Blob(encodeTree(*root, encoder)), p.domain, p.user});
    if (answer.get<ServerResponse::RequestSucceeded>()) {
        encoder.registerContainers(root->id(), *this);
        lookupMapOfContainers_.withLock(
            [&](Map& map) { map.registerContainer(root, p.domain, p.user, {}); });
        return;
    }
    if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
        logger().error("Create settings failed with: %@", failed->error);
        throw failed->error;
    }
    logger().error("Create settings failed. Unexpected response: %@", answer);
    throw VKError(VKError::serverError);
}

std::shared_ptr<VKContainer> ConnectionImpl::resolveContainerProxy(const UUID& containerId,
                                                                   bool recursiveFetch) {
    throwIfShutDown();
    auto answer = send(ClientRequest::ResolveSettings{containerId, recursiveFetch});
    if (auto* fetched = answer.get<ServerResponse::SettingsFetched>()) {
        auto container = detail::ContainerAccess::asClientContainer(
            decodeBlob(fetched->data, shared_from_this()));
        // The answer must be the container asked for, with its content.
        if (container && container->id() == containerId &&
            container->kind() != VKObjectBase::Kind::containerProxy) {
            return container;
        }
        logger().error("Can't decode object (id=%@).", containerId);
        throw VKError(VKError::serverError);
    }
    if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
        logger().error("Resolve of settings failed (id=%@). Error: %@", containerId, failed->error);
        throw failed->error;
    }
    logger().error("Resolve of settings failed (id=%@). Unexpected response: %@", containerId,
                   answer);
    throw VKError(VKError::serverError);
}

void ConnectionImpl::setHasSubscription(const UUID& containerId, bool hasSubscription) {
    throwIfShutDown();
    auto answer = send(ClientRequest::SetHasSubscription{containerId, hasSubscription});
    if (answer.get<ServerResponse::RequestSucceeded>())
        return;
    if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
        logger().error("Set 'has subscription' failed (id=%@). Error: %@", containerId,
                       failed->error);
        throw failed->error;
    }
    logger().error("Set 'has subscription' failed (id=%@). Unexpected response: %@", containerId,
                   answer);
    throw VKError(VKError::serverError);
}

}  // namespace velkor
