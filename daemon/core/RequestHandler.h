#pragma once

#include "core/Caller.h"
#include "core/ChangeApplier.h"
#include "core/ClientHoldings.h"
#include "core/ContainerStore.h"
#include "core/MergeWindow.h"
#include "core/NoticeList.h"
#include "core/StoreLimits.h"
#include "internals/ClientRequest.h"
#include "internals/ServerResponse.h"

namespace velkor::daemon {

/// Carries out one request inside the transaction its caller opened, and gives the answer that
/// means success; refusals are thrown as `VKError`, failures of the store as `DatabaseError`.
///
/// - createSettings → `requestSucceeded`. The blob must hold an array or dictionary (the root);
///   ids and revisions are kept as the client made them; references must name containers
///   written earlier in the blob; an id already stored, an empty domain or an existing file
///   refuse it (`invalidData`, `invalidData`, `fileAlreadyExists`), and so does a tree larger
///   than a file may be (`invalidData`, see `StoreLimits`). The caller holds every
///   container and its subscription flags are recorded.
/// - fetchSettings → `settingsFetched`. The path is split on "/" into dictionary keys and
///   decimal array indexes; the empty path is the root. A missing file is `fileDoesNotExist`, a
///   path that leads nowhere `pathDoesNotExist`. The answer holds the one value found: a scalar,
///   or a container in full whose sub-containers are proxies, or, recursive, in full too, each
///   container once. The caller holds every container sent in full. An answer that would pass
///   the store's answer limit (a file stored before its limit) is `invalidFileData`.
/// - resolveSettings → `settingsFetched`: a container by id (`containerNotFound`), as a fetch
///   writes it.
/// - updateSettings → `settingsUpdated`: see `ChangeApplier`.
/// - deleteSettings → `settingsDeleted` with the root id; every other client holding any
///   container of the file receives a `settingsDeleted` record whose id is the root id.
/// - setHasSubscription → `requestSucceeded`; the flag is recorded for the caller.
///
/// Files are reached through the access rules of `Access`: reading for fetch, resolve and
/// subscription flags, writing for create, update and delete.
class RequestHandler {
  public:
    RequestHandler(ContainerStore& store, ClientHoldings& holdings, MergeWindow& merge,
                   const StoreLimits& limits)
        : store_(store),
          holdings_(holdings),
          merge_(merge),
          limits_(limits),
          changes_(store, holdings, merge, limits) {}

    ServerResponse handle(const Caller& caller, const ClientRequest& request, NoticeList& notices);

  private:
    ServerResponse create(const Caller& caller, const ClientRequest::CreateSettings& r);
    ServerResponse fetch(const Caller& caller, const ClientRequest::FetchSettings& r);
    ServerResponse resolve(const Caller& caller, const ClientRequest::ResolveSettings& r);
    ServerResponse remove(const Caller& caller, const ClientRequest::DeleteSettings& r,
                          NoticeList& notices);
    ServerResponse subscribe(const Caller& caller, const ClientRequest::SetHasSubscription& r);
    ServerResponse sendInFull(const Caller& caller, const ContainerRecord& container,
                              bool recursive);
    void requireReadable(const Caller& caller, const ContainerRecord& container);

    ContainerStore& store_;
    ClientHoldings& holdings_;
    MergeWindow& merge_;
    const StoreLimits& limits_;
    ChangeApplier changes_;
};

}  // namespace velkor::daemon
