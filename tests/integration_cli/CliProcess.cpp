#include "CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace velkor::test {

namespace {

std::system_error failure(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& argv, const std::string& input) {
    // Standard input is a memory file holding all of `input`, so writing it cannot block.
    const int in = memfd_create("velkor-test-input", MFD_CLOEXEC);
    if (in < 0)
        throw failure("memfd_create");
    if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        lseek(in, 0, SEEK_SET) != 0) {
        close(in);
        throw failure("writing the input");
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw failure("pipe2");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (auto& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const int spawned =
        posix_spawnp(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in);
    close(out[1]);
    close(err[1]);
    fds_[0] = out[0];
    fds_[1] = err[0];
    if (spawned != 0) {
        errno = spawned;
        throw failure("posix_spawnp");
    }
    for (int fd : fds_)
        fcntl(fd, F_SETFL, O_NONBLOCK);
}

CliProcess::~CliProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_)
        close(fd);
}

CliProcess::Result CliProcess::run(const std::vector<std::string>& argv, const std::string& input) {
    return CliProcess(argv, input).finish();
}

bool CliProcess::pump(std::chrono::steady_clock::time_point deadline) {
    pollfd polled[2];
    nfds_t count = 0;
    for (int fd : fds_) {
        if (fd >= 0)
            polled[count++] = {fd, POLLIN, 0};
    }
    if (count == 0)
        return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    const int ready = poll(polled, count, static_cast<int>(left.count()));
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return false;
    for (nfds_t i = 0; i < count; ++i) {
        if (!(polled[i].revents & (POLLIN | POLLHUP)))
            continue;
        const int which = polled[i].fd == fds_[0] ? 0 : 1;
        char chunk[4096];
        const ssize_t n = read(fds_[which], chunk, sizeof chunk);
        if (n > 0) {
            buffers_[which].append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            close(fds_[which]);
            fds_[which] = -1;
        }
    }
    return true;
}

std::optional<std::string> CliProcess::nextLine(Stream stream, std::chrono::milliseconds patience) {
    const int which = stream == Stream::out ? 0 : 1;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        auto& buffer = buffers_[which];
        const auto newline = buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            return line;
        }
        if (fds_[which] < 0 || !pump(deadline))
            return std::nullopt;
    }
}

void CliProcess::signal(int number) {
    if (pid_ > 0)
        kill(pid_, number);
}

CliProcess::Result CliProcess::finish(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (pump(deadline)) {
    }
    int status = -1;
    while (pid_ > 0) {
        int wstatus = 0;
        if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
            status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            pid_ = -1;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return {status, std::exchange(buffers_[0], {}), std::exchange(buffers_[1], {})};
}

}  // namespace velkor::test
