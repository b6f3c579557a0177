#include "support/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
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
#include <vector>

extern char** environ;

namespace velkor::test {

namespace {

void writeConfig(const std::string& directory, const std::string& serviceDirectory) {
    std::ofstream config(directory + "/bus.conf");
    config << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:path="
           << directory << "/bus</listen>\n  <auth>EXTERNAL</auth>\n";
    if (!serviceDirectory.empty())
        config << "  <servicedir>" << serviceDirectory << "</servicedir>\n";
    config << "  <policy context=\"default\">\n"
              "    <allow user=\"*\"/>\n"
              "    <allow send_destination=\"*\"/>\n"
              "    <allow receive_sender=\"*\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n";
    if (!config.flush())
        throw std::runtime_error("cannot write the private bus configuration");
}

/// Reads the first line the bus prints, waiting at most ten seconds.
std::string readLine(int fd) {
    std::string line;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            throw std::runtime_error("the private bus did not print its address");
        char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the private bus exited before printing its address");
        if (c == '\n')
            return line;
        line += c;
    }
}

}  // namespace

PrivateBus::PrivateBus(const std::string& serviceDirectory) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-bus.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("cannot create the private bus directory");
    directory_ = buffer.data();
    try {
        // Readable by all, so that clients running under another uid reach the socket.
        chmod(directory_.c_str(), 0755);
        writeConfig(directory_, serviceDirectory);

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
