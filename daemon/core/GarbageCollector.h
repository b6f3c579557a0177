#pragma once

#include <vector>

#include "core/ClientHoldings.h"
#include "core/ContainerStore.h"
#include "core/MergeWindow.h"
#include "core/NoticeList.h"

namespace velkor::daemon {

/// Deletes the containers that no parent holds any more.
///
/// A container lives as long as some container of its file holds a reference to it (the root
/// lives as long as its file). When a change drops references, the containers they named are
/// examined: each one left without a parent is deleted with its items, every client holding it
/// receives a `containerDeleted` record (the writer of the change included, so that its client
/// stops treating the container as one the daemon knows), and the children it referenced are
/// examined in turn. Because changes that would make a container its own ancestor are refused,
/// the containers of a file form an acyclic graph and "no parent" is the same as "unreachable
/// from the root". A deleted container has no path any more: its record carries the empty path.
class GarbageCollector {
  public:
    GarbageCollector(ContainerStore& store, ClientHoldings& holdings, MergeWindow& merge)
        : store_(store), holdings_(holdings), merge_(merge) {}

    void collect(std::vector<UUID> candidates, const UUID& root, NoticeList& notices);

  private:
    ContainerStore& store_;
    ClientHoldings& holdings_;
    MergeWindow& merge_;
};

}  // namespace velkor::daemon
