#pragma once

#include "values/ParentsOfContainerBase.h"

namespace velkor {

/// The parent set of a client container: two containers share a root when they belong to the
/// same settings file through the same connection.
class ParentsOfContainer final : public ParentsOfContainerBase {
  protected:
    /// A child without a root id takes the parent's; a parent without one accepts any child;
    /// otherwise both root ids and both connections (or the lack of one) must be the same.
    void ensureTheSameRoot(VKContainer& child, const VKContainer& parent) override;
};

}  // namespace velkor
