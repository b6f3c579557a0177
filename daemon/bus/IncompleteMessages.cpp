#include "bus/IncompleteMessages.h"

#include <algorithm>

#include "bus/ChannelInlet.h"

namespace velkor::daemon {

namespace {

void erase(std::vector<ChannelInlet*>& inlets, ChannelInlet* inlet) {
    inlets.erase(std::remove(inlets.begin(), inlets.end(), inlet), inlets.end());
}

}  // namespace

bool IncompleteMessages::mayRead(ChannelInlet& inlet) {
    auto it = users_.find(inlet.uid());
    if (it == users_.end())
        return true;
    User& user = it->second;
    if (user.bytes < limit_ || (!user.begun.empty() && user.begun.front() == &inlet))
        return true;
    if (std::find(user.paused.begin(), user.paused.end(), &inlet) == user.paused.end())
        user.paused.push_back(&inlet);
    return false;
}

void IncompleteMessages::grew(ChannelInlet& inlet, std::size_t bytes) {
    User& user = users_[inlet.uid()];
    user.bytes += bytes;
    if (std::find(user.begun.begin(), user.begun.end(), &inlet) == user.begun.end())
        user.begun.push_back(&inlet);
}

void IncompleteMessages::finished(ChannelInlet& inlet, std::size_t bytes) {
    auto it = users_.find(inlet.uid());
    if (it == users_.end())
        return;
    User& user = it->second;
    user.bytes -= std::min(bytes, user.bytes);
    erase(user.begun, &inlet);
    // Whoever waited may read again; each asks anew, and the first to begin goes on.
    auto paused = std::move(user.paused);
    if (user.begun.empty())
        users_.erase(it);
    for (ChannelInlet* waiting : paused) {
        if (waiting != &inlet)
            waiting->resume();
    }
}

void IncompleteMessages::forget(ChannelInlet& inlet) {
    auto it = users_.find(inlet.uid());
    if (it == users_.end())
        return;
    erase(it->second.begun, &inlet);
    erase(it->second.paused, &inlet);
    if (it->second.begun.empty() && it->second.paused.empty())
        users_.erase(it);
}

std::size_t IncompleteMessages::of(std::uint32_t uid) const {
    auto it = users_.find(uid);
    return it == users_.end() ? 0 : it->second.bytes;
}

}  // namespace velkor::daemon
