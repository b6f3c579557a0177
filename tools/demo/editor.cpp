// The editor of the demonstration (scripts/demo): an application that keeps a settings file
// open, then writes from the copy it read before another client changed it.
//
//     velkor-demo-editor DOMAIN
//
// It opens DOMAIN (a dictionary with the string "theme"), says "editor: ready" and waits for a
// line on standard input, which the demonstration sends once another client has changed
// "theme". It then writes "theme" and "wrap-lines" with the revision it read at first, the way a
// write crosses another client's change in flight: the daemon refuses the write to the key that
// changed meanwhile (a conflict; the editor's local change is undone) and accepts the write to
// the other key (writes to different keys merge). Exit status 0 when both turned out so.
#include <velkor/velkor.h>

// Winding the revision back stands for a write that crossed another client's change in flight;
// no application can do that, so the demonstration reaches into the library for it.
#include "internals/ContainerAccess.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

namespace {

std::string themeOf(const velkor::VKDictionaryPtr& settings) {
    return settings->get("theme", std::string("(none)"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: velkor-demo-editor DOMAIN\n";
        return 1;
    }
    const std::string domain = argv[1];

    int status = 0;
    try {
        auto handle = velkor::Settings::open(velkor::ConnectionOptions{}, domain,
                                             velkor::VKOwnership::realUser(),
                                             velkor::Settings::IfMissing::fail);
        auto settings = handle->current();
        if (!settings) {
            std::cerr << "editor: no connection to the daemon\n";
            return 1;
        }
        const auto readAt = settings->revision();
        std::cout << "editor: opened " << domain << " at revision " << readAt
                  << ", theme=" << themeOf(settings) << std::endl;

        // The other client's change reaches this copy as a notification.
        std::mutex mutex;
        std::condition_variable changed;
        bool seen = false;
        auto subscription = handle->observe([&](const velkor::Settings::Event&) {
            std::lock_guard lock(mutex);
            seen = true;
            changed.notify_all();
        });
        std::cout << "editor: ready" << std::endl;
        std::string line;
        std::getline(std::cin, line);
        {
            std::unique_lock lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(5), [&] { return seen; }))
                std::cout << "editor: no change reached my copy" << std::endl;
        }
        subscription.dispose();
        std::cout << "editor: my copy now shows theme=" << themeOf(settings) << " (revision "
                  << settings->revision() << ")" << std::endl;

        std::cout << "editor: writing theme=\"light\" from what I read at revision " << readAt
                  << std::endl;
        velkor::detail::ContainerAccess::setRevision(*settings, readAt);
        try {
            settings->set("theme", std::make_shared<velkor::VKString>("light"));
            std::cout << "editor: accepted (unexpected: the daemon should have refused it)"
                      << std::endl;
            status = 1;
        } catch (const velkor::VKError& e) {
            std::cout << "editor: refused: " << e.localizedDescription() << " (" << e.description()
                      << "); my copy is back to theme=" << themeOf(settings) << std::endl;
            if (e.code() != velkor::VKError::synchronizeConflict)
                status = 1;
        }

        std::cout << "editor: writing wrap-lines=1 from what I read at revision " << readAt
                  << std::endl;
        velkor::detail::ContainerAccess::setRevision(*settings, readAt);
        settings->set("wrap-lines", std::make_shared<velkor::VKNumber>(1));
        std::cout << "editor: accepted: another key than the one that changed merges" << std::endl;
    } catch (const velkor::VKError& e) {
        std::cerr << "editor: " << e.localizedDescription() << " (" << e.description() << ")\n";
        status = 1;
    }
    return status;
}
