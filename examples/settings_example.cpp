// Opens the settings of one domain, reads and writes typed values and prints the changes other
// processes make, until it has seen `--events N` of them (default: none, exit at once).
//
//     settings_example [--events N]
//
// The daemon is reached on the system bus (or the bus in DBUS_SYSTEM_BUS_ADDRESS).
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

    // Wire the library up through a dependency container, as a host application does.
    velkor::di::Container container;
    container.registerFactory<velkor::BKProductDefines>(
        [](const velkor::di::Resolver&) { return std::make_shared<velkor::BKProductDefines>(); });
    velkor::VKConnectionFactory::registerWith(container);
    auto connection = container.resolve<velkor::VKConnection>();
    if (!connection) {
        std::cerr << "no connection\n";
        return 1;
    }

    try {
        // Open the settings, creating them from this tree when they do not exist yet.
        auto defaults =
            velkor::VKDictionary::make({{"volume", std::make_shared<velkor::VKNumber>(5)}});
        auto opened = connection->openOrCreateSettings(defaults, "org.velkor.example");
        auto settings = velkor::asDictionary(opened.rootContainer);

        // Typed reads never throw: a missing key gives the default.
        std::int64_t volume = settings->get("volume", 0);
        std::cout << (opened.isExist ? "opened" : "created") << ", volume=" << volume << "\n";
        settings->set("volume", volume + 1);
        settings->set("muted", false);
        settings->set("greeting", "hello");

        // Observers hear of changes that other processes make.
        std::mutex mutex;
        std::condition_variable changed;
        int seen = 0;
        auto subscription =
            settings->asObservable().subscribe([&](const velkor::VKContainerChange& change) {
                std::lock_guard lock(mutex);
                std::cout << "change: " << change.description() << std::endl;
                ++seen;
                changed.notify_all();
            });
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return seen >= wanted; });
        subscription->dispose();
    } catch (const velkor::VKError& e) {
        std::cerr << "error: " << e.localizedDescription() << " (" << e.description() << ")\n";
        return 2;
    }
    connection->dispose();
    return 0;
}
