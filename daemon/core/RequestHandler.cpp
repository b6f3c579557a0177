#include "core/RequestHandler.h"

#include <charconv>

#include "basalt/QZLogger.h"
#include "core/Access.h"
#include "core/BlobDecoder.h"
#include "core/ChangeRecords.h"
#include "core/LogThrottle.h"
#include "core/StoredSize.h"
#include "core/TreeExporter.h"
#include "utils/Overloaded.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.RequestHandler");

// A decimal array index: digits only, no sign, within range.
std::optional<std::int64_t> parseIndex(std::string_view text) {
    std::int64_t index = 0;
    const auto* end = text.data() + text.size();
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    auto [rest, error] = std::from_chars(text.data(), end, index);
    if (error != std::errc() || rest != end) {
        return std::nullopt;
    }
    return index;
}

}  // namespace

ServerResponse RequestHandler::handle(const Caller& caller, const ClientRequest& request,
                                      NoticeList& notices) {
    return std::visit(
        Overloaded{
            [&](const ClientRequest::CreateSettings& r) { return create(caller, r); },
            [&](const ClientRequest::FetchSettings& r) { return fetch(caller, r); },
            [&](const ClientRequest::UpdateSettings& r) {
                if (!r.change) {
                    throw VKError(VKError::invalidData);
                }
                return changes_.apply(caller, *r.change, notices);
            },
            [&](const ClientRequest::ResolveSettings& r) { return resolve(caller, r); },
            [&](const ClientRequest::DeleteSettings& r) { return remove(caller, r, notices); },
            [&](const ClientRequest::SetHasSubscription& r) { return subscribe(caller, r); },
        },
        request.payload());
}

ServerResponse RequestHandler::create(const Caller& caller,
                                      const ClientRequest::CreateSettings& r) {
    if (r.domain.empty()) {
        throw VKError(VKError::invalidData);
    }
    Access::requireWrite(caller, r.user, r.domain);
    if (store_.file(r.user, r.domain)) {
        throw VKError(VKError::fileAlreadyExists);
    }
    const auto tree = BlobDecoder::decode(r.data.bytes(), BlobDecoder::References::sameBlobOnly,
                                          limits_.maxContainersPerRequest);
    if (!isContainer(tree.top.kind)) {
        throw VKError(VKError::invalidData);
    }
    const auto size = StoredSize::of(tree);
    if (size > limits_.maxFileBytes || tree.containers.size() > limits_.maxFileContainers) {
        if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
            log.warning(
                "Refused to create %d@%@ for uid %d (client %@): its %d bytes in %d "
                "containers pass the file limit of %d bytes or %d containers.%@",
                r.user, r.domain, caller.uid, caller.clientId, size, tree.containers.size(),
                limits_.maxFileBytes, limits_.maxFileContainers, LogThrottle::heldNote(held));
        }
        throw VKError(VKError::invalidData);
    }
    // Root's files are not bounded by the users' totals.
    if (caller.uid != Access::rootUid) {
        const auto totals = store_.userTotals(r.user);
        if (totals.files >= static_cast<std::int64_t>(limits_.maxUserFiles)) {
            if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
                log.warning(
                    "Refused to create %d@%@ for uid %d (client %@): user %d has %d files, the "
                    "limit for one user.%@",
                    r.user, r.domain, caller.uid, caller.clientId, r.user, totals.files,
                    LogThrottle::heldNote(held));
            }
            throw VKError(VKError::invalidData);
        }
        const auto total = totals.bytes + static_cast<std::int64_t>(size);
        if (total > static_cast<std::int64_t>(limits_.maxUserBytes)) {
            if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
                log.warning(
                    "Refused to create %d@%@ for uid %d (client %@): the files of user %d would "
                    "hold %d bytes, past the limit of %d bytes for one user.%@",
                    r.user, r.domain, caller.uid, caller.clientId, r.user, total,
                    limits_.maxUserBytes, LogThrottle::heldNote(held));
            }
            throw VKError(VKError::invalidData);
        }
    }
    for (const auto& c : tree.containers) {
        if (store_.exists(c.id)) {
            throw VKError(VKError::invalidData);
        }
    }
    store_.addFile(FileRecord{r.user, r.domain, tree.top.id});
    store_.addContainers(tree, tree.top.id);
    holdings_.holdFile(caller.clientId, tree.top.id);
    for (const auto& c : tree.containers) {
        if (c.subscribed) {
            holdings_.setSubscription(caller.clientId, c.id, true);
        }
    }
    return ServerResponse::RequestSucceeded{};
}

ServerResponse RequestHandler::fetch(const Caller& caller, const ClientRequest::FetchSettings& r) {
    if (r.domain.empty()) {
        throw VKError(VKError::invalidData);
    }
    Access::requireRead(caller, r.user, r.domain);
    const auto file = store_.file(r.user, r.domain);
    if (!file) {
        throw VKError(VKError::fileDoesNotExist);
    }
    auto container = store_.container(file->root);
    if (!container) {
        throw VKError(VKError::invalidFileData);
    }
    if (r.path.empty()) {
        return sendInFull(caller, *container, r.recursiveFetch);
    }

    std::string_view rest = r.path;
    while (true) {
        const auto slash = rest.find('/');
        const auto part = rest.substr(0, slash);
        std::optional<StoredItem> item;
        if (container->kind == ValueKind::dictionary) {
            item = store_.item(container->id, store_.storedKey(container->id, part), 0);
        } else if (const auto index = parseIndex(part)) {
            item = store_.item(container->id, {}, *index);
        }
        if (!item) {
            throw VKError(VKError::pathDoesNotExist);
        }
        const bool last = slash == std::string_view::npos;
        if (item->kind != ValueKind::containerProxy) {
            if (!last) {
                throw VKError(VKError::pathDoesNotExist);
            }
            return ServerResponse::SettingsFetched{Blob(TreeExporter::exportScalar(*item))};
        }
        container = store_.container(item->child);
        if (!container || container->root != file->root) {
            throw VKError(VKError::invalidFileData);
        }
        if (last) {
            return sendInFull(caller, *container, r.recursiveFetch);
        }
        rest.remove_prefix(slash + 1);
    }
}

ServerResponse RequestHandler::resolve(const Caller& caller,
                                       const ClientRequest::ResolveSettings& r) {
    const auto container = store_.container(r.containerId);
    if (!container) {
        throw VKError(VKError::containerNotFound);
    }
    requireReadable(caller, *container);
    return sendInFull(caller, *container, r.recursiveFetch);
}

ServerResponse RequestHandler::remove(const Caller& caller, const ClientRequest::DeleteSettings& r,
                                      NoticeList& notices) {
    Access::requireWrite(caller, r.user, r.domain);
    const auto file = store_.file(r.user, r.domain);
    if (!file) {
        throw VKError(VKError::fileDoesNotExist);
    }
    const auto deleted = ChangeRecords::make(ChangeType::settingsDeleted, file->root, 0);
    for (const auto& holder : holdings_.holdersOfFile(file->root)) {
        if (holder != caller.clientId) {
            notices.add(holder, deleted, {});
        }
    }
    holdings_.forgetFile(file->root);
    merge_.forgetFile(file->root);
    store_.removeFile(*file);
    return ServerResponse::SettingsDeleted{file->root};
}

ServerResponse RequestHandler::subscribe(const Caller& caller,
                                         const ClientRequest::SetHasSubscription& r) {
    const auto container = store_.container(r.containerId);
    if (!container) {
        throw VKError(VKError::containerNotFound);
    }
    requireReadable(caller, *container);
    holdings_.setSubscription(caller.clientId, container->id, r.hasSubscription);
    return ServerResponse::RequestSucceeded{};
}

ServerResponse RequestHandler::sendInFull(const Caller& caller, const ContainerRecord& container,
                                          bool recursive) {
    std::vector<UUID> written;
    auto blob =
        TreeExporter(store_).exportContainer(container, recursive, written, limits_.maxAnswerBytes);
    // A whole file sent in full is every container of it (the unreachable ones are collected
    // as they become so): held in one statement.
    if (recursive && container.id == container.root) {
        holdings_.holdFile(caller.clientId, container.root);
    } else {
        for (const auto& id : written) {
            holdings_.hold(caller.clientId, id);
        }
    }
    return ServerResponse::SettingsFetched{Blob(std::move(blob))};
}

void RequestHandler::requireReadable(const Caller& caller, const ContainerRecord& container) {
    auto file = store_.fileWithRoot(container.root);
    if (!file) {
        throw VKError(VKError::invalidFileData);
    }
    Access::requireRead(caller, file->user, file->domain);
}

}  // namespace velkor::daemon
