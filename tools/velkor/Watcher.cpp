#include "Watcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include "CommandError.h"
#include "EventJson.h"
#include "JsonMapping.h"
#include "PathWalk.h"
#include "internals/CanonicalText.h"
#include "velkor/VKConversions.h"

namespace velkor::cli {

namespace {

using Change = VKContainerChange;

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

std::system_error systemError(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

bool ownEvent(const Change& change) {
    return !change.get<Change::DidDescendantChange>();
}

// Whether `key`, as an event names it, is the key whose canonical form is `canonical`: keys are
// compared under canonical equivalence, as everywhere in the library. An ASCII key is its own
// canonical form and is compared as it stands.
bool sameKey(const std::string& key, const std::string& canonical) {
    return isAsciiText(key) ? key == canonical : canonicalText(key) == canonical;
}

// Whether `change` is the root's report of a change strictly below the watched value. `below` is
// the canonical form of the value's path followed by "/", or empty for the root.
bool changeBelow(const Change& change, const std::string& below) {
    const auto* event = change.get<Change::DidDescendantChange>();
    if (!event)
        return false;
    if (below.empty())
        return !event->path.empty();
    // "/" never composes with its neighbours, so a path's canonical form is that of each part.
    return isAsciiText(event->path) ? event->path.starts_with(below)
                                    : canonicalText(event->path).starts_with(below);
}

// Whether `change` of a container concerns its item named `part`, given in canonical form.
bool aboutItem(const Change& change, const std::string& part) {
    return std::visit(
        [&](const auto& event) {
            using Event = std::decay_t<decltype(event)>;
            if constexpr (requires { event.key; })
                return sameKey(event.key, part);
            else if constexpr (requires { event.index; })
                return SettingsPath::index(part) == event.index;
            else
                return !std::is_same_v<Event, Change::DidDescendantChange>;
        },
        change.payload());
}

}  // namespace

/// What the observers share with the watching thread; they may outlive the Watcher.
struct Watcher::State {
    State(std::ostream& out, std::ostream& notes)
        : out(out), notes(notes), wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (wakeFd < 0)
            throw systemError("eventfd");
    }
    ~State() { close(wakeFd); }

    /// Prints the line for `change` of `container` (at `path`); a deletion ends the watch.
    void report(const Change& change, const VKContainerPtr& container, const std::string& path) {
        nlohmann::json line;
        try {
            line = EventJson::line(change, container, path);
        } catch (const VKError& e) {
            note(std::string("could not read a changed value: ") +
                 CommandError::fromError(e).what());
            return;
        } catch (const CommandError& e) {
            note(std::string("could not read a changed value: ") + e.what());
            return;
        }
        bool written = false;
        {
            std::lock_guard lock(mutex);
            written = static_cast<bool>(out << JsonMapping::dump(line) << std::endl);
        }
        if (!written)
            fail(CommandError(ExitCode::refused, "cannot write to standard output"));
        else if (change.get<Change::DidDelete>())
            fail(CommandError(ExitCode::notFound, "the watched value was deleted"));
    }

    void note(const std::string& text) {
        std::lock_guard lock(mutex);
        notes << "velkor: " << text << std::endl;
    }

    /// Hands the handle's reopened root to the watching thread.
    void offer(VKDictionaryPtr root) {
        std::lock_guard lock(mutex);
        away = false;
        pending = std::move(root);
        wake();
    }

    /// Tells the watching thread that the file was lost with the connection. The handle reports
    /// each failed attempt to reopen it as well; the note is printed once per loss.
    void lose() {
        std::lock_guard lock(mutex);
        if (!std::exchange(away, true))
            notes << "velkor: the connection to the daemon was lost; waiting for it to come back"
                  << std::endl;
        pending = nullptr;
        wake();
    }

    /// Ends the watch with `error`, unless it is ending already.
    void fail(CommandError error) {
        std::lock_guard lock(mutex);
        if (!failure)
            failure = std::move(error);
        wake();
    }

    struct Work {
        std::optional<VKDictionaryPtr> root;
        std::optional<CommandError> failure;
    };
    Work take() {
        std::uint64_t count;
        while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::lock_guard lock(mutex);
        // The watching thread gets an error with a message of its own. Copies of an exception
        // share their message, and the state may be released on a library thread while the
        // watching thread still prints its copy: libstdc++ counts the message's owners with
        // atomics that ThreadSanitizer cannot see, so it reports that release as a race.
        std::optional<CommandError> own;
        if (failure)
            own.emplace(failure->exitCode(), std::string(failure->what()));
        return {std::exchange(pending, std::nullopt), std::move(own)};
    }

    std::mutex mutex;
    std::ostream& out;
    std::ostream& notes;
    const int wakeFd;
    std::optional<VKDictionaryPtr> pending;
    std::optional<CommandError> failure;
    bool away = false;  // the connection was lost and the file not reopened since

  private:
    void wake() {
        const std::uint64_t one = 1;
        while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
};

void Watcher::blockStopSignals() {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

Watcher::Watcher(Session& session, std::string domain, SettingsPath path, VKOwnership ownership,
                 std::ostream& out, std::ostream& notes)
    : session_(session),
      domain_(std::move(domain)),
      path_(std::move(path)),
      ownership_(ownership),
      state_(std::make_shared<State>(out, notes)) {}

Watcher::~Watcher() {
    following_.dispose();
    detach();
    if (settings_)
        settings_->dispose();
    if (signalFd_ >= 0)
        close(signalFd_);
}

void Watcher::run() {
    const sigset_t signals = stopSignals();
    signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd_ < 0)
        throw systemError("signalfd");
    settings_ = Settings::open(session_.monitor(), domain_, ownership_, Settings::IfMissing::fail);
    // A daemon that cannot be reached at the start is an error, as for the other commands; only
    // a connection lost while watching is waited for.
    auto root = settings_->current();
    if (!root)
        throw CommandError::fromError(VKError::cannotConnect);
    // Changes further down (also below a scalar that became a container) reach only the root.
    Filter rootFilter = [whole = path_.isRoot(),
                         below = path_.isRoot()
                                     ? std::string()
                                     : canonicalText(path_.text()) + "/"](const Change& change) {
        return (whole && ownEvent(change)) || changeBelow(change, below);
    };
    std::weak_ptr<Settings> weak = settings_;
    following_ = settings_->observe([state = state_, weak, rootFilter](const Settings::Event& e) {
        if (const auto* change = std::get_if<Change>(&e)) {
            auto settings = weak.lock();
            if (rootFilter(*change) && settings)
                state->report(*change, settings->current(), {});
        } else if (const auto* reloaded = std::get_if<Settings::Reloaded>(&e)) {
            state->offer(reloaded->root);
        } else if (const auto& lost = std::get<Settings::Lost>(e);
                   lost.error && CommandError::exitCodeFor(*lost.error) != ExitCode::connection) {
            state->fail(CommandError::fromError(*lost.error));
        } else {
            state->lose();
        }
    });
    attach(root);
    for (;;) {
        pollfd fds[] = {{signalFd_, POLLIN, 0}, {state_->wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw systemError("poll");
        }
        if (fds[0].revents & POLLIN)
            return;
        if (fds[1].revents & POLLIN) {
            auto work = state_->take();
            if (work.failure)
                throw *work.failure;
            if (work.root && *work.root != root_) {
                detach();
                if (*work.root)
                    attach(*work.root);
            }
        }
    }
}

void Watcher::attach(const VKDictionaryPtr& root) {
    // The value's container, and the value in it (none when it does not exist yet).
    VKObjectPtr container, value = root;
    for (std::size_t step = 0; step < path_.parts().size(); ++step) {
        container = value;
        if (!container)
            throw PathWalk::noValue(path_, step, "it does not exist");
        const bool last = step + 1 == path_.parts().size();
        try {
            value = PathWalk::child(container, path_, step);
        } catch (const CommandError&) {
            // A missing last item is waited for in its container.
            if (!last || !asContainer(container))
                throw;
            value = nullptr;
        }
    }
    if (!path_.isRoot()) {
        if (auto own = asContainer(value)) {
            observe(own, path_, [](const Change& change) { return ownEvent(change); });
        } else {
            observe(asContainer(container), path_.parent(),
                    [part = canonicalText(path_.last())](const Change& change) {
                        return aboutItem(change, part);
                    });
        }
    }
    root_ = root;
    state_->note("watching " + domain_ + (path_.isRoot() ? "" : " " + path_.text()));
}

void Watcher::detach() {
    subscriptions_.clear();
    held_.clear();
    root_ = nullptr;
}

void Watcher::observe(const VKContainerPtr& container, const SettingsPath& containerPath,
                      Filter filter) {
    held_.push_back(container);
    std::weak_ptr<VKContainer> weak = container;
    subscriptions_.push_back(container->observe(
        [state = state_, weak, path = containerPath.text(),
         filter = std::move(filter)](const Change& change) {
            if (filter(change))
                state->report(change, weak.lock(), path);
        },
        [state = state_](const rx::Error&) {
            state->note("the library stopped delivering changes; waiting for a new connection");
        }));
}

}  // namespace velkor::cli
