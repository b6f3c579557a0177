// Opens the settings of one domain, reads and writes typed values and prints the changes other
// processes make, until it has seen `--events N` of them (default: none, exit at once).
//
//     settings_example [--events N]
//
// The daemon is reached on the system bus (or the bus in DBUS_SYSTEM_BUS_ADDRESS). Hosts that
// have a dependency container register the library there instead; docs/api-tour.md shows how.
#include <velkor/velkor.h>

#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

int main(int argc, char** argv) {
    int wanted = 0;
    if (argc == 3 && std::string(argv[1]) == "--events") {
        wanted = std::atoi(argv[2]);
    }

    try {
        // Connect, and open the settings, creating them from this tree when they do not exist.
        auto connection = velkor::connect();
        auto defaults =
            velkor::VKDictionary::make({{"volume", std::make_shared<velkor::VKNumber>(5)}});
        auto settings = connection->openDictionary(defaults, "org.velkor.example");

        // Typed reads never throw: a missing key gives the default. Typed writes never throw
        // either: they log and return false when the daemon did not take the value.
        std::int64_t volume = settings->get("volume", 0);
        std::cout << "volume=" << volume << "\n";
        if (!settings->set("volume", volume + 1) || !settings->set("muted", false) ||
            !settings->set("greeting", "hello")) {
            std::cerr << "a value was not stored (see the log line above)\n";
            return 3;
        }

        // Observers hear of changes that other processes make; the subscription ends when
        // `watching` goes out of scope.
        std::mutex mutex;
        std::condition_variable changed;
        int seen = 0;
        velkor::Subscription watching = settings->observe([&](const velkor::VKContainerChange& c) {
            std::lock_guard lock(mutex);
            std::cout << "change: " << c.description() << std::endl;
            ++seen;
            changed.notify_all();
        });
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return seen >= wanted; });
    } catch (const velkor::VKError& e) {
        std::cerr << "error: " << e.localizedDescription() << " (" << e.description() << ")\n";
        return 2;
    }
    return 0;
}
