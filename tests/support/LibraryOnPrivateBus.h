#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "support/PrivateBus.h"
#include "support/SystemBusAddress.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

namespace velkor::test {

/// velkord on a private bus with a store of its own, and hosts that wire the library up exactly
/// as applications do (dependency container, VKConnectionFactory). Each host has its own
/// connection and transport, as a separate process would.
class LibraryOnPrivateBus {
  public:
    explicit LibraryOnPrivateBus(const std::string& velkord) {
        std::filesystem::create_directories(directory_);
        daemon = std::make_unique<TestDaemon>(
            TestDaemon::Settings{velkord, bus.address(), (directory_ / "settings.db").string()});
    }
    ~LibraryOnPrivateBus() {
        daemon.reset();
        std::filesystem::remove_all(directory_);
    }

    struct Host {
        Host() {
            container.registerFactory<BKProductDefines>(
                [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
            VKConnectionFactory::registerWith(
                container, std::make_shared<rx::SerialEventLoopScheduler>("events"));
            connection = container.resolve<VKConnection>();
        }
        ~Host() {
            if (connection)
                connection->dispose();
        }
        di::Container container;
        VKConnectionPtr connection;
    };

    PrivateBus bus;
    SystemBusAddress systemBus{bus.address()};
    std::unique_ptr<TestDaemon> daemon;

  private:
    std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() / ("velkor-library-" + UUID::random().description());
};

}  // namespace velkor::test
