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
    auto registrations = state();
    if (!registrations) {
        return nullptr;
    }
    std::shared_ptr<ServiceEntry> entry;
    {
        std::shared_lock lock(registrations->mutex);
        auto it = registrations->entries.find(keyFor(type, name));
        if (it == registrations->entries.end()) {
            return nullptr;
        }
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
    explicit SharedResolver(const std::shared_ptr<State>& state) : state_(state) {}

  protected:
    std::shared_ptr<State> state() const override { return state_.lock(); }

  private:
    std::weak_ptr<State> state_;
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
