#include "velkor/di/Container.h"

namespace velkor::di {

ServiceEntry& ServiceEntry::inObjectScope(ObjectScope s) {
    scope = s;
    return *this;
}

std::string Resolver::keyFor(std::type_index type, const std::string& name) {
    std::string key = type.name();
    key += '\n';
    key += name;
    return key;
}

std::shared_ptr<void> Resolver::resolveErased(std::type_index type, const std::string& name) const {
    std::shared_ptr<ServiceEntry> entry;
    {
        std::shared_lock lock(state_->mutex);
        auto it = state_->entries.find(keyFor(type, name));
        if (it == state_->entries.end())
            return nullptr;
        entry = it->second;
    }
    // Factories resolve their own dependencies, so none of the container's locks is held here.
    if (entry->scope == ObjectScope::transient) {
        return entry->factory(*this);
    }
    std::lock_guard lock(entry->instanceMutex);
    if (!entry->instance) {
        entry->instance = entry->factory(*this);
    }
    return entry->instance;
}

namespace {

class SharedResolver final : public Resolver {
  public:
    explicit SharedResolver(std::shared_ptr<State> state) : Resolver(std::move(state)) {}
};

}  // namespace

std::shared_ptr<Resolver> Container::synchronize() const {
    return std::make_shared<SharedResolver>(state_);
}

ServiceEntry& Container::add(std::type_index type, const std::string& name,
                             std::shared_ptr<ServiceEntry> entry) {
    std::unique_lock lock(state_->mutex);
    auto& slot = state_->entries[keyFor(type, name)];
    slot = std::move(entry);
    return *slot;
}

}  // namespace velkor::di
