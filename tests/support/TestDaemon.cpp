#include "support/TestDaemon.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "dbus/BusConnection.h"
#include "dbus/BusError.h"

extern char** environ;

namespace velkor::test {

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(5);

}  // namespace

TestDaemon::TestDaemon(Settings settings)
    : settings_(std::move(settings)), logPath_(settings_.database + ".velkord.log") {
    std::vector<std::string> args{
        settings_.binary,   "--bus-address",  settings_.busAddress, "--db",
        settings_.database, "--service-name", settings_.serviceName};
    args.insert(args.end(), settings_.arguments.begin(), settings_.arguments.end());
    // The suite runs once more with every client on the bus path.
    if (const char* path = std::getenv("VELKOR_TEST_PATH"); path && std::string(path) == "bus")
        args.emplace_back("--no-direct-channels");
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int spawned =
        posix_spawn(&pid_, settings_.binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot run " + settings_.binary);
    }

    try {
        auto bus = dbus::BusConnection::open(settings_.busAddress);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (bus.nameOwner(settings_.serviceName))
                return;
            if (int status = 0; waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                throw std::runtime_error("velkord exited with status " +
                                         std::to_string(WEXITSTATUS(status)) +
                                         " before taking its name; its log:\n" + log());
            }
            std::this_thread::sleep_for(kPollInterval);
        }
        throw std::runtime_error("velkord did not take its name within 10 s; its log:\n" + log());
    } catch (...) {
        stop(SIGKILL);
        throw;
    }
}

TestDaemon::~TestDaemon() {
    stop(SIGTERM);
    // A sanitizer's report from the daemon fails the test that ran it: the daemon's races and
    // memory faults count as much as the test program's own.
    const std::string text = log();
    for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                               "ERROR: LeakSanitizer", ": runtime error: "}) {
        if (const auto at = text.find(report); at != std::string::npos) {
            ADD_FAILURE() << "velkord's sanitizer reported (" << logPath_ << "):\n"
                          << text.substr(text.rfind('\n', at) + 1, 6000);
            break;
        }
    }
}

int TestDaemon::stop(int signal) {
    if (!status_ && pid_ > 0) {
        kill(pid_, signal);
        if (!waitForExit()) {
            kill(pid_, SIGKILL);
            waitForExit();
        }
    }
    return status_.value_or(-1);
}

std::optional<int> TestDaemon::waitForExit() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!status_ && pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        if (int status = 0; waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = status;
        else
            std::this_thread::sleep_for(kPollInterval);
    }
    return status_;
}

std::string TestDaemon::log() const {
    std::ifstream in(logPath_);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace velkor::test
