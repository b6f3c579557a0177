#include "support/PrivateBus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace velkor::test {

namespace {

void writeConfig(const std::string& directory, const std::string& serviceDirectory,
                 const std::string& policy) {
    std::ofstream config(directory + "/bus.conf");
    config << "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" << directory
           << "/bus</listen>\n  <auth>EXTERNAL</auth>\n";
    if (!serviceDirectory.empty())
        config << "  <servicedir>" << serviceDirectory << "</servicedir>\n";
    config << (policy.empty() ? "  <policy context=\"default\"><allow user=\"*\"/>"
                                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                "<allow own=\"*\"/></policy>\n"
                              : policy)
           << "</busconfig>\n";
    if (!config.flush())
        throw std::runtime_error("cannot write the private bus configuration");
}

/// Reads the first line the bus prints: its address.
std::string readLine(int fd) {
    std::string line;
    for (char c = 0; c != '\n';) {
        if (const ssize_t n = read(fd, &c, 1); n == 1 && c != '\n')
            line += c;
        else if (n != 1 && (n == 0 || errno != EINTR))
            throw std::runtime_error("the private bus exited before printing its address");
    }
    return line;
}

}  // namespace

PrivateBus::PrivateBus(const std::string& serviceDirectory, const std::string& policy) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-bus.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create the private bus directory");
    directory_ = pattern;
    try {
        // Readable by all, so that clients running under another uid reach the socket.
        chmod(directory_.c_str(), 0755);
        writeConfig(directory_, serviceDirectory, policy);

        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot create a pipe for the private bus");
        output_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::string configArgument = "--config-file=" + directory_ + "/bus.conf";
        const char* argv[] = {"dbus-daemon", configArgument.c_str(), "--nofork",
                              "--nopidfile", "--print-address=1",    nullptr};
        int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr,
                                   const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot run dbus-daemon");
        }
        address_ = readLine(output_);
    } catch (...) {
        stop();
        throw;
    }
}

PrivateBus::~PrivateBus() {
    stop();
}

void PrivateBus::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        directory_.clear();
    }
}

}  // namespace velkor::test
