#include "support/EtcdCluster.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velkor::test {

namespace {

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

/// The value of `NAME='value'` in the script's output.
std::string assignment(const std::string& output, const std::string& name) {
    const auto start = output.find(name + "='");
    if (start == std::string::npos)
        throw std::runtime_error("scripts/etcd-cluster did not print " + name);
    const auto from = start + name.size() + 2;
    return output.substr(from, output.find('\'', from) - from);
}

/// Whether every thread of process `pid` has stopped. A stop signal is taken by one thread,
/// which then stops the others; until it is scheduled, the others go on running.
bool allThreadsStopped(pid_t pid) {
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // The state follows the command name, which is in parentheses and may hold spaces.
        const auto end = line.rfind(')');
        if (end == std::string::npos || end + 2 >= line.size())
            return false;
        const char state = line[end + 2];
        if (state != 'T' && state != 't')
            return false;
    }
    return !error;
}

/// What `command` prints; throws when it cannot be run or fails.
std::string commandOutput(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[512];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(command + " failed");
    return output;
}

}  // namespace

EtcdCluster::EtcdCluster(const std::vector<std::string>& etcdOptions, bool tls) {
    // Owned by this process: should it crash, the script tears the cluster down.
    std::string arguments =
        "start --owner " + std::to_string(getpid()) + (tls ? " --tls --" : " --");
    for (const auto& option : etcdOptions)
        arguments += " " + shellQuoted(option);
    const std::string output = run(arguments);
    directory_ = assignment(output, "VELKOR_ETCD_DIR");
    etcdctl_ = "ETCDCTL_API=3 etcdctl --command-timeout 30s --endpoints " +
               assignment(output, "VELKOR_ETCD_ENDPOINTS") + " ";
    std::stringstream list(assignment(output, "VELKOR_ETCD_ENDPOINTS"));
    for (std::string endpoint; std::getline(list, endpoint, ',');)
        endpoints_.push_back(endpoint);
    if (tls) {
        caFile_ = assignment(output, "VELKOR_ETCD_CACERT");
        certFile_ = assignment(output, "VELKOR_ETCD_CERT");
        keyFile_ = assignment(output, "VELKOR_ETCD_KEY");
    }
}

EtcdCluster::~EtcdCluster() {
    try {
        run("down " + shellQuoted(directory_));
    } catch (const std::exception&) {
        // Nothing more can be done from a destructor; the directory names the cluster.
    }
}

int EtcdCluster::memberOf(const std::string& endpoint) const {
    const auto found = std::find(endpoints_.begin(), endpoints_.end(), endpoint);
    return found == endpoints_.end() ? 0 : static_cast<int>(found - endpoints_.begin()) + 1;
}

void EtcdCluster::step(const std::string& command, int member) {
    run(command + " " + shellQuoted(directory_) + " " + std::to_string(member));
}

void EtcdCluster::waitHealthy() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::system((VELKOR_ETCD_CLUSTER_SCRIPT " health " + shellQuoted(directory_)).c_str()) !=
           0) {
        if (std::chrono::steady_clock::now() > until)
            throw std::runtime_error("the etcd cluster is not healthy after 30 seconds");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void EtcdCluster::signal(int member, int number) {
    std::ifstream file(directory_ + "/m" + std::to_string(member) + ".pid");
    pid_t pid = 0;
    if (!(file >> pid) || pid <= 0 || ::kill(pid, number) != 0)
        throw std::runtime_error("cannot signal etcd member " + std::to_string(member));
    if (number != SIGSTOP)
        return;
    // Frozen means frozen: on a busy machine the member would otherwise serve on for a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!allThreadsStopped(pid)) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("etcd member " + std::to_string(member) + " does not stop");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int EtcdCluster::leader() {
    return std::stoi(run("leader " + shellQuoted(directory_)));
}

bool EtcdCluster::etcdctl(const std::string& arguments) {
    return std::system((etcdctl_ + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<long long> EtcdCluster::databaseSizes() {
    const std::string output = commandOutput(etcdctl_ + "endpoint status -w json");
    std::vector<long long> sizes;
    const std::regex field("\"dbSize\":([0-9]+)");
    for (std::sregex_iterator it(output.begin(), output.end(), field), end; it != end; ++it)
        sizes.push_back(std::stoll((*it)[1].str()));
    if (sizes.size() != endpoints_.size())
        throw std::runtime_error("etcdctl endpoint status did not report every member");
    return sizes;
}

std::string EtcdCluster::run(const std::string& arguments) {
    return commandOutput(VELKOR_ETCD_CLUSTER_SCRIPT " " + arguments);
}

}  // namespace velkor::test
