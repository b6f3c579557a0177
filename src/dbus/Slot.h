#pragma once

#include <systemd/sd-bus.h>

#include <memory>

namespace velkor::dbus {

/// An owning reference to an sd-bus slot (a match, an asynchronous call, a filter). Releasing it
/// removes what it stands for, which talks to the bus: release it where the bus may be used
/// (under the bus owner's lock, see BusLoop).
class Slot {
  public:
    Slot() = default;
    /// Takes over one reference to `slot` (which may be null).
    explicit Slot(sd_bus_slot* slot) : slot_(slot) {}

    sd_bus_slot* get() const { return slot_.get(); }
    explicit operator bool() const { return slot_ != nullptr; }

  private:
    struct Unref {
        void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
    };
    std::unique_ptr<sd_bus_slot, Unref> slot_;
};

}  // namespace velkor::dbus
