#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/DaemonTesting.h"
#include "dbus/ResponseCodec.h"
#include "support/DaemonClient.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"

namespace velkor::test {

inline const std::string kVelkord = VELKORD_PATH;
inline const std::string kProbe = VELKOR_BUS_PROBE_PATH;
inline const std::string kSourceDir = VELKOR_SOURCE_DIR;
inline const std::string kService = "org.velkor.SettingsDaemon";

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
    std::unique_ptr<DaemonClient> connect() const {
        return std::make_unique<DaemonClient>(bus_.address());
    }
    TestDaemon& daemon() { return *daemon_; }

    /// Waits, ten seconds at most, until the daemon's log holds `text`.
    bool logShows(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (daemon_->log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    PrivateBus bus_;
    TempDir dir_;
    std::unique_ptr<TestDaemon> daemon_;
};

/// Runs a shell command; gives its exit status and what it wrote to standard output.
inline std::pair<int, std::string> run(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {-1, ""};
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

inline const std::string kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

/// The line the probe prints when run against `address`, under uid and gid 65534 when
/// `asNobody`; or what went wrong.
inline std::string probe(bool asNobody, const std::string& address, const std::string& arguments) {
    auto [status, output] = run((asNobody ? kAsNobody : std::string()) + kProbe + " '" + address +
                                "' " + kService + " " + arguments + " 2>&1");
    if (!output.empty() && output.back() == '\n')
        output.pop_back();
    return status == 0 ? output : "probe failed: " + output;
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

/// Sets `key` of dictionary `id`, made against `revision`.
inline ClientRequest setRequest(const UUID& id, std::int64_t revision, const std::string& key,
                                const Node& value, bool inserted = true) {
    return ClientRequest::UpdateSettings{
        record(inserted ? ChangeType::childInserted : ChangeType::childChanged, id, revision, 0, 0,
               key, clientBlob(value))};
}

/// The tree a settingsFetched answer carries.
inline Node fetchedTree(const std::optional<dbus::ReceivedResponse>& received) {
    const ServerResponse::SettingsFetched* fetched =
        received && received->response ? received->response->get<ServerResponse::SettingsFetched>()
                                       : nullptr;
    EXPECT_NE(fetched, nullptr) << "expected settingsFetched, got " << text(received);
    return fetched ? daemonValue(fetched->data.bytes()) : Node{};
}

/// The one record of a noteChanges signal, or none.
inline ChangeNotificationPtr noticed(const std::optional<dbus::ReceivedResponse>& received) {
    const ServerResponse::NoteChanges* notes =
        received && received->response ? received->response->get<ServerResponse::NoteChanges>()
                                       : nullptr;
    EXPECT_TRUE(notes && notes->changeNotifications.size() == 1)
        << "expected one record, got " << text(received);
    return notes && notes->changeNotifications.size() == 1
               ? notes->changeNotifications[0]
               : record(ChangeType::childChanged, {}, -1, 0, 0, "");
}

}  // namespace velkor::test
