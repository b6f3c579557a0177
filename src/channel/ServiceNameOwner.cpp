#include "channel/ServiceNameOwner.h"

namespace velkor {

ServiceNameOwner::Change ServiceNameOwner::apply(std::string_view oldOwner,
                                                 std::string_view newOwner) {
    if (lost_)
        return Change::none;
    if (owner_.empty()) {
        if (newOwner.empty())
            return Change::none;
        owner_ = newOwner;
        return Change::acquired;
    }
    if (oldOwner != owner_ || newOwner == owner_)
        return Change::none;
    owner_.clear();
    lost_ = true;
    return Change::lost;
}

}  // namespace velkor
