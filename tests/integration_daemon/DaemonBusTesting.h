#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/DaemonTesting.h"
#include "dbus/BusError.h"
#include "internals/SettingsService.h"
#include "support/DaemonClient.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"

namespace velkor::test {

using namespace std::chrono_literals;

inline const std::string kVelkord = VELKORD_PATH;
inline const std::string kService = DaemonClient::kService;
constexpr uid_t kNobody = 65534;

/// Runs a shell command; gives its exit status and what it wrote to standard output.
inline std::pair<int, std::string> run(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    const int status = pipe ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

/// Runs `body` in a child process under uid and gid `uid` and with no other open files than
/// the standard ones, and gives its pid and what `body` returned. Unless told to `stay` (until
/// it is killed), the child has been reaped. Needs root.
inline std::pair<pid_t, std::string> asUser(uid_t uid, const std::function<std::string()>& body,
                                            bool stay = false) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {-1, "no pipe"};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close_range(STDERR_FILENO + 1, ~0U, 0);
        std::string out = "cannot switch users";
        try {
            if (::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0)
                out = body();
        } catch (const std::exception& e) {
            out = std::string("failed: ") + e.what();
        }
        const bool written = ::write(STDOUT_FILENO, out.data(), out.size()) >= 0;
        ::close(STDOUT_FILENO);
        while (stay && written)
            ::pause();
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (!stay)
        ::waitpid(child, nullptr, 0);
    return {child, out};
}

/// Keeps a direct channel of its own full of signals, which velkord does not serve, until `stop`
/// is set or `most` has passed; sets `started` once it has its channel. Gives whether velkord
/// cut the channel off (or went away).
inline bool floodWithSignals(const std::string& address, std::chrono::seconds most,
                             const std::atomic<bool>& stop, std::atomic<bool>& started) {
    DaemonClient flooder(address, kService, DaemonClient::Path::direct);
    started = true;
    const auto until = std::chrono::steady_clock::now() + most;
    try {
        for (std::uint64_t n = 0; !stop && std::chrono::steady_clock::now() < until; ++n) {
            flooder.sendNoise();
            if (n % 64 == 0)
                dbus::BusError::check(sd_bus_flush(flooder.bus().get()), "Flushing");
        }
    } catch (const dbus::BusError&) {
        return true;
    }
    return false;
}

/// How many times `part` occurs in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

/// The bytes of the file at `path`.
inline std::string contents(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

/// A call of `member` of `interface` on velkord's object, its arguments still to be written.
inline dbus::Message callOf(DaemonClient& client, const char* interface, const char* member) {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(
        sd_bus_message_new_method_call(client.bus().get(), &raw, kService.c_str(),
                                       dbus_names::kObjectPath, interface, member),
        "Building a call");
    return dbus::Message(raw);
}

inline const std::string kNoAccess =
    "requestHasFailed(A settings file does not exists (or cannot be accessed).)";
inline const std::string kInvalidData =
    "requestHasFailed(General error indicating that an invalid value was supplied.)";

/// The text of an answer as the library would log it; "nothing" when none came.
inline std::string text(const std::optional<dbus::ReceivedResponse>& received) {
    if (!received)
        return "nothing";
    return received->response ? received->response->description() : "unreadable";
}

inline std::string doneAt(std::int64_t revision) {
    return "settingsUpdated(done, newRev=" + std::to_string(revision) + ")";
}

inline ClientRequest createRequest(const Node& tree, std::uint32_t user = 1000,
                                   const std::string& domain = "org.example.app") {
    return ClientRequest::CreateSettings{Blob(clientBlob(tree)), domain, user};
}

inline ClientRequest fetchRequest(std::uint32_t user = 1000,
                                  const std::string& domain = "org.example.app") {
    return ClientRequest::FetchSettings{domain, user, "", false};
}

/// Whether an answer is settingsFetched.
inline bool isFetched(const std::optional<dbus::ReceivedResponse>& received) {
    return text(received).starts_with("settingsFetched");
}

/// Writes out what `client` has queued; throws dbus::BusError once its connection has closed.
inline void flush(DaemonClient& client) {
    dbus::BusError::check(sd_bus_flush(client.bus().get()), "Flushing");
}

/// Kills the child process `pid` and reaps it.
inline void killChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

/// The answer of kind T that `received` carries; null when it carries none or another kind.
template <typename T>
const T* answerOf(const std::optional<dbus::ReceivedResponse>& received) {
    return received && received->response ? received->response->get<T>() : nullptr;
}

/// The blob a settingsFetched answer carries.
inline std::vector<std::uint8_t> fetched(const std::optional<dbus::ReceivedResponse>& received) {
    const auto* f = answerOf<ServerResponse::SettingsFetched>(received);
    EXPECT_NE(f, nullptr) << "expected settingsFetched, got " << text(received);
    return f ? std::vector<std::uint8_t>(f->data.bytes().begin(), f->data.bytes().end())
             : std::vector<std::uint8_t>{};
}

/// The one record of a noteChanges signal; throws, failing the test, when it is not that.
inline ChangeNotificationPtr noticed(const std::optional<dbus::ReceivedResponse>& received) {
    const auto* notes = answerOf<ServerResponse::NoteChanges>(received);
    if (!notes || notes->changeNotifications.size() != 1)
        throw std::runtime_error("expected one record, got " + text(received));
    return notes->changeNotifications[0];
}

/// A private bus with velkord on it, the store in a temporary directory.
class DaemonBusTest : public ::testing::Test {
  protected:
    DaemonBusTest() { start(); }

    void start(std::vector<std::string> arguments = {}) {
        daemon_ = std::make_unique<TestDaemon>(TestDaemon::Settings{
            kVelkord, bus_.address(), dir_.file("settings.db"), std::move(arguments)});
    }
    /// Stops the daemon with SIGTERM and starts another on the same store.
    void restart(std::vector<std::string> arguments = {}) {
        daemon_.reset();
        start(std::move(arguments));
    }
    std::unique_ptr<DaemonClient> connect(DaemonClient::Path path = DaemonClient::Path::bus) const {
        return std::make_unique<DaemonClient>(bus_.address(), kService, path);
    }
    TestDaemon& daemon() { return *daemon_; }

    /// Creates, through `client`, a file of `user` in `domain` whose root holds `entries`;
    /// gives the root's id.
    UUID create(DaemonClient& client, std::vector<std::pair<std::string, Node>> entries = {},
                std::uint32_t user = 1000, const std::string& domain = "org.example.app") {
        const UUID rootId = newId();
        EXPECT_EQ(
            text(client.request(createRequest(dict(rootId, std::move(entries)), user, domain))),
            "requestSucceeded");
        return rootId;
    }

    /// Another client, on the bus or on a channel of its own, is served within `patience`.
    void othersAreServed(std::chrono::milliseconds patience = DaemonClient::kPatience,
                         DaemonClient::Path path = DaemonClient::Path::bus) {
        EXPECT_EQ(text(connect(path)->request(fetchRequest(1000, "org.example.none"), patience)),
                  kNoAccess);
    }

    /// Waits, thirty seconds at most (a sanitizer build on a loaded machine is slow to get
    /// there), until the daemon's log holds `text`.
    bool logShows(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (daemon_->log().find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return daemon_->log().find(text) != std::string::npos;
    }

    PrivateBus bus_;
    TempDir dir_;
    std::unique_ptr<TestDaemon> daemon_;
};

}  // namespace velkor::test
