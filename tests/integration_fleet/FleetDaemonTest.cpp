#include <gmock/gmock.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "FleetTesting.h"
#include "daemon/DaemonTesting.h"
#include "fleet/FleetKeys.h"
#include "support/DaemonClient.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

namespace velkor::fleet::test {

namespace {

using ::testing::HasSubstr;
using velkor::test::DaemonClient;
using velkor::test::errorOf;
using velkor::test::num;
using velkor::test::PrivateBus;
using velkor::test::setting;
using velkor::test::TestDaemon;

constexpr const char* kDomain = "org.example.lab";

/// One machine: a private bus and a velkord (see `FleetDaemonTest::machine`).
struct Machine {
    Machine(const std::string& name, const std::string& busPolicy)
        : name(name), bus({}, busPolicy) {}
    void start() { daemon = std::make_unique<TestDaemon>(settings); }

    std::string name;
    PrivateBus bus;
    TestDaemon::Settings settings;
    std::unique_ptr<TestDaemon> daemon;
    ConnectionOptions options{.busAddress = bus.address(), .scheduler = {}, .requestTimeout = 20s};
};

/// The shared file `domain` opened on `machine`.
std::shared_ptr<VKDictionary> shared(const Machine& machine, const std::string& domain = kDomain) {
    return connect(machine.options)->openDictionary(domain, VKOwnership::shared());
}

/// The shared file `domain` as a fresh fetch on `machine` gives it.
std::shared_ptr<VKDictionary> fetch(const Machine& machine, const std::string& domain = kDomain) {
    return connect(machine.options)
        ->getSettingAs<VKDictionary>(domain, {}, true, VKOwnership::shared());
}

/// The numbers `dictionary` holds, by key.
std::map<std::string, std::int64_t> numbersOf(const VKDictionary& dictionary) {
    std::map<std::string, std::int64_t> numbers;
    for (const auto& [key, value] : dictionary.items())
        if (auto number = std::dynamic_pointer_cast<VKNumber>(value))
            numbers[key] = number->value();
    return numbers;
}

/// What setting `key` to `value` in `dictionary` is refused with; none when it is accepted.
std::optional<VKError::Code> refusal(VKDictionary& dictionary, const std::string& key,
                                     std::int64_t value) {
    return errorOf([&] { dictionary.set(key, std::make_shared<VKNumber>(value)); });
}

/// The velkor tool with `arguments` on `machine`'s bus.
std::string cli(const Machine& machine, const std::string& arguments) {
    return std::string(VELKOR_CLI_PATH) + " --bus-address '" + machine.bus.address() + "' " +
           arguments;
}

/// The exit status of the velkor tool run with `arguments` on `machine`'s bus as uid 65534.
int asNobody(const Machine& machine, const std::string& arguments) {
    const int status = std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                    cli(machine, arguments) + " >/dev/null 2>&1")
                                       .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// What `velkor --shared status DOMAIN` prints on `machine`.
std::string status(const Machine& machine, const std::string& domain) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(cli(machine, "--shared status " + domain).c_str(), "r"), pclose);
    std::string out;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
        out += buffer;
    return out;
}

/// What a raw client's change came to; none when the answer is not `settingsUpdated`.
std::optional<ChangeResult> resultOf(const std::optional<dbus::ReceivedResponse>& answer) {
    const auto* updated = answer && answer->response
                              ? answer->response->get<ServerResponse::SettingsUpdated>()
                              : nullptr;
    return updated ? std::optional(updated->changeResult) : std::nullopt;
}

/// A byte string of `bytes` bytes.
std::shared_ptr<VKData> data(std::size_t bytes) {
    return std::make_shared<VKData>(std::vector<std::uint8_t>(bytes, 7));
}

/// Compacts `etcd`'s history up to the revision at which `key` is read. Two steps, each with a
/// deadline of its own that a loaded machine does not run past: the test's own doing, not what
/// it checks.
void compactHistory(EtcdClient& etcd, const std::string& key) {
    const auto revision = etcd.get(key, in(30s)).revision;
    etcd.compact(revision, in(30s));
}

/// Waits, 20 seconds at most, until `done()`. A VKError it throws counts as not yet: a
/// machine whose copy the watch has not yet reached answers fileDoesNotExist.
template <typename F>
bool eventually(F done) {
    return within(20s, [&] {
        try {
            return bool(done());
        } catch (const VKError&) {
            return false;
        }
    });
}

/// Makes `change` (which throws VKError when refused) until velkord accepts it, 20 seconds at
/// most. A test's own changes that set the scene may be refused while etcd elects a leader, or
/// as of unknown outcome; each refusal is printed.
template <typename F>
bool accepted(F change) {
    return eventually([&] {
        try {
            change();
            return true;
        } catch (const VKError& error) {
            std::cerr << "A change was refused (" << error.what() << "); it is made again.\n";
            throw;
        }
    });
}

/// `log` without the lines of direct channels opened and closed, of which a test's many
/// connections make most of velkord's log; its last 20,000 characters.
std::string withoutChannels(const std::string& log) {
    std::istringstream lines(log);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.find("irect channel") == std::string::npos)
            kept += line + "\n";
    return kept.substr(kept.size() > 20000 ? kept.size() - 20000 : 0);
}

class FleetDaemonTest : public FleetTest {
  protected:
    void TearDown() override {
        // A velkord that ends otherwise than cleanly (a sanitizer's report, a crash) fails the
        // test. A failed test shows what each velkord logged.
        const bool failed = HasFailure();
        for (const auto& m : machines_) {
            const int status = m->daemon->stop();
            const auto log = m->daemon->log();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << log.substr(log.size() > 20000 ? log.size() - 20000 : 0);
            if (failed)
                std::cerr << "velkord " << m->name << ", but its direct channels:\n"
                          << withoutChannels(log) << "\n";
        }
        machines_.clear();
        FleetTest::TearDown();
    }

    /// A machine whose velkord's shared files of org.example.* are fleet files, on every member
    /// or on `endpoints` alone. `options` are velkord's further options; `busPolicy` replaces the
    /// bus's policy that allows everything (see PrivateBus).
    Machine& machine(const std::string& name, const std::vector<std::string>& endpoints = {},
                     const std::vector<std::string>& options = {},
                     const std::string& busPolicy = {}) {
        std::string list;
        for (const auto& endpoint : endpoints.empty() ? cluster().endpoints() : endpoints)
            list += (list.empty() ? "" : ",") + endpoint;
        auto& m = *machines_.emplace_back(std::make_unique<Machine>(name, busPolicy));
        m.settings = {VELKORD_PATH,
                      m.bus.address(),
                      directory_.file(name + ".db"),
                      {"--fleet", list, "--fleet-domains", "org.example.*", "--fleet-prefix",
                       prefix(), "--log-level", "info"}};
        m.settings.arguments.insert(m.settings.arguments.end(), options.begin(), options.end());
        // Far more than etcd needs, even on a loaded machine under ThreadSanitizer; the tests
        // about time-outs set their own.
        if (std::ranges::find(options, "--fleet-timeout") == options.end())
            m.settings.arguments.insert(m.settings.arguments.end(), {"--fleet-timeout", "30"});
        m.start();
        return m;
    }

    /// A file `content` in the test's directory; its path.
    std::string file(const std::string& name, const std::string& content) const {
        const auto path = directory_.file(name);
        std::ofstream(path) << content << "\n";
        return path;
    }

  private:
    velkor::test::TempDir directory_;
    std::vector<std::unique_ptr<Machine>> machines_;
};

/// The values of `key` that an observer of a settings handle heard it take, in order.
struct Heard {
    Heard(const std::shared_ptr<Settings>& settings, std::string key)
        : watching(settings->observe([this, settings, key](const Settings::Event& e) {
              const auto* change = std::get_if<VKContainerChange>(&e);
              if (!change)
                  return;
              const auto* added = change->get<VKContainerChange::DidDictionaryChildAdd>();
              const auto* replaced = change->get<VKContainerChange::DidDictionaryChildReplace>();
              if (!(added && added->key == key) && !(replaced && replaced->key == key))
                  return;
              auto root = settings->current();
              std::lock_guard lock(mutex);
              values.push_back(root ? root->get(key, -1) : -1);
          })) {}

    std::vector<std::int64_t> get() {
        std::lock_guard lock(mutex);
        return values;
    }
    /// What was heard besides `value`: the event of a change seen before the observer came may
    /// still be on its way to it.
    std::vector<std::int64_t> besides(std::int64_t value) {
        auto heard = get();
        std::erase(heard, value);
        return heard;
    }

    std::mutex mutex;
    std::vector<std::int64_t> values;
    Subscription watching;
};

}  // namespace

// Two machines write one fleet file at once, four clients on each, each client its own keys and
// one key all write; every write is either acknowledged or refused as a conflict (and then
// tried again), an observer on each machine hears the other's changes, and afterwards both
// machines hold exactly the values acknowledged, and so does every writer's copy: each heard
// every change of the others, in the order they were made. (The clients of one machine have their
// changes committed to etcd together when they wait at once.) A machine's own files stay its own,
// and only the shared files of the fleet's domains reach etcd. Access on a fleet file is as on any
// shared file, checked by the velkord a client talks to: uid 65534 reads it on either machine but
// cannot change it or see another user's files.
TEST_F(FleetDaemonTest, TwoMachinesWritingAtOnceEndEqualWithEveryAcknowledgedWrite) {
    Machine& a = machine("a");
    Machine& b = machine("b");
    shared(a);
    auto watched = Settings::open(b.options, kDomain, VKOwnership::shared());
    ASSERT_NE(watched->current(), nullptr);
    std::atomic<int> heard{0};
    Subscription watching = watched->observe(
        [&](const Settings::Event& e) { heard += std::holds_alternative<VKContainerChange>(e); });

    constexpr int kWrites = 25;
    // The writes of "both" take turns; the last acknowledged value is what it holds in the end,
    // unless a write after it was refused otherwise than as a conflict: the fleet may commit
    // one whose answer velkord gave up on, and the watch then brings it.
    std::int64_t lastShared = -1;
    std::vector<std::int64_t> unsure;
    std::mutex sharedOrder;
    auto endsAsAcknowledged = [&](std::int64_t both) {
        std::lock_guard lock(sharedOrder);
        return both == lastShared || std::ranges::find(unsure, both) != unsure.end();
    };
    // A write refused as a conflict leaves the container at the daemon's state; it is tried
    // again, a bounded number of times.
    std::atomic<int> givenUp{0};
    auto retried = [&](const std::function<bool()>& write) {
        for (int attempt = 0; attempt < 100; ++attempt)
            if (write())
                return true;
        ++givenUp;
        return false;
    };
    // The id of each writer's dictionary, as the writer holds it, for the failure message.
    std::map<std::string, std::string> ids;
    std::map<std::string, std::shared_ptr<VKDictionary>> roots;  // each writer's copy
    auto writer = [&](Machine& m, const std::string& name, int offset) {
        auto root = shared(m);
        const bool made =
            retried([&] { return !errorOf([&] { root->set(name, VKDictionary::make()); }); });
        auto mine = made ? asDictionary(root->get(name)) : nullptr;
        // A dictionary set and acknowledged is there to be read back at once, whatever the
        // copy fetched meanwhile.
        if (made && !mine)
            ADD_FAILURE() << name << ": set, then not found";
        {
            std::lock_guard lock(sharedOrder);
            roots[name] = root;
            ids[name] = mine ? mine->id().description() : "none";
        }
        for (int i = 0; mine && i < kWrites; ++i) {
            // A key of its own in the file's root, which the other writers change at once.
            const auto key = name + "." + std::to_string(i);
            if (!retried([&] { return mine->set(std::to_string(i), i); }) ||
                !retried([&] { return root->set(key, i); }))
                return;
            const std::int64_t value = offset + i;
            std::lock_guard lock(sharedOrder);
            const auto error = refusal(*root, "both", value);
            if (!error) {
                lastShared = value;
                unsure.clear();
            } else if (*error != VKError::synchronizeConflict) {
                unsure.push_back(value);
            }
        }
    };
    const std::vector<std::string> names{"a1", "a2", "a3", "a4", "b1", "b2", "b3", "b4"};
    // Readers on machine A meanwhile, whose fetches pass the changes waiting for etcd: each sees
    // a writer's keys as that writer made them, one after another, never a later one without
    // the earlier ones.
    std::atomic<bool> writing{true};
    std::atomic<int> fetches{0}, torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            auto connection = connect(a.options);
            while (writing) {
                auto fresh = connection->getSettingAs<VKDictionary>(kDomain, {}, true,
                                                                    VKOwnership::shared());
                for (const auto& name : names)
                    if (auto theirs = asDictionary(fresh->get(name)))
                        for (int i = 1; i < kWrites; ++i)
                            torn += theirs->get(std::to_string(i)) &&
                                    !theirs->get(std::to_string(i - 1));
                ++fetches;
            }
        });
    std::vector<std::thread> writers;
    for (std::size_t w = 0; w < names.size(); ++w)
        writers.emplace_back(writer, std::ref(w < 4 ? a : b), names[w], 1000 * int(w));
    for (auto& thread : writers)
        thread.join();
    writing = false;
    for (auto& thread : readers)
        thread.join();
    ASSERT_EQ(givenUp.load(), 0) << "writes refused as conflicts again and again";
    EXPECT_GT(fetches.load(), 0);
    EXPECT_EQ(torn.load(), 0);

    // A machine serves fetches from its copy, which the other machine's changes reach through
    // the watch: each ends with every acknowledged write, once the watch has brought them.
    for (Machine* m : {&a, &b}) {
        // What the machine's last fetch lacks, for the failure message.
        std::string lacking;
        const bool complete = eventually([&] {
            lacking = " no fetch was answered;";
            auto fresh = fetch(*m);
            lacking.clear();
            for (const auto& name : names) {
                auto theirs = asDictionary(fresh->get(name));
                int held = 0;
                while (theirs && held < kWrites && theirs->get(std::to_string(held), -1) == held)
                    ++held;
                if (!theirs)
                    lacking += " " + name + " is missing;";
                else if (held < kWrites)
                    lacking += " " + name + " holds " + std::to_string(held) + " of " +
                               std::to_string(kWrites) + " in " + theirs->id().description() +
                               ", the writer's being " + ids[name] + ";";
            }
            if (const auto both = fresh->get("both", -1); !endsAsAcknowledged(both))
                lacking += " both is " + std::to_string(both) + ", not " +
                           std::to_string(lastShared) + ";";
            return lacking.empty();
        });
        ASSERT_TRUE(complete) << "machine " << m->name << ":" << lacking
                              << " refused of unknown outcome since: "
                              << ::testing::PrintToString(unsure);
    }
    EXPECT_TRUE(eventually([&] {
        auto root = watched->current();
        auto a1 = root ? asDictionary(root->get("a1")) : nullptr;
        return a1 && a1->get(std::to_string(kWrites - 1), -1) == kWrites - 1 &&
               endsAsAcknowledged(root->get("both", -1));
    }));
    EXPECT_GT(heard.load(), 0);
    // Every writer's copy ends as the file is: it heard every change of the others, in order.
    const auto file = numbersOf(*fetch(a));
    EXPECT_EQ(file.size(), names.size() * kWrites + 1);
    for (const auto& [name, root] : roots) {
        std::string differs;
        EXPECT_TRUE(eventually([&] {
            const auto copy = numbersOf(*root);
            differs.clear();
            for (const auto& [key, value] : file)
                if (!copy.contains(key) || copy.at(key) != value)
                    differs += " " + key;
            return copy == file;
        })) << name
            << "'s copy differs from the file at" << differs;
    }

    ASSERT_TRUE(connect(a.options)->openDictionary("org.example.mine")->set("k", 1));
    ASSERT_TRUE(shared(a, "org.other")->set("k", 1));
    EXPECT_EQ(errorOf([&] { (void)connect(b.options)->getSetting("org.example.mine"); }),
              VKError::fileDoesNotExist);
    for (Machine* m : {&a, &b}) {
        EXPECT_TRUE(
            eventually([&] { return asNobody(*m, "--shared get org.example.lab both") == 0; }));
        EXPECT_NE(asNobody(*m, "--shared set org.example.lab both 99999"), 0);
        EXPECT_NE(asNobody(*m, "--shared delete org.example.lab"), 0);
        EXPECT_NE(asNobody(*m, "--user 0 get org.example.mine"), 0);
        EXPECT_TRUE(endsAsAcknowledged(fetch(*m)->get("both", -1)));
    }
    EXPECT_EQ(fetch(a)->get("both", -1), fetch(b)->get("both", -1));

    std::set<std::string> domains;
    const FleetKeys keys(prefix());
    for (const auto& kv : client()->getPrefix(prefix(), in(5s)).kvs) {
        auto parsed = keys.parse(kv.key);
        ASSERT_TRUE(parsed) << kv.key;
        domains.insert(parsed->domain);
    }
    EXPECT_EQ(domains, std::set<std::string>{kDomain});
}

// Without quorum a fleet write is refused with serverError before the client's time-out and
// nothing of it is applied then; fetches are served from the last content and the
// machine's own files are untouched. Beneath velkord, an etcd client's calls end by their
// deadline, and are refused, applying nothing. With quorum back, each later change reaches the
// observers on both machines once. Members killed one after the other lose no acknowledged write.
TEST_F(FleetDaemonTest, WithoutQuorumWritesAreRefusedAndKilledMembersLoseNoAcknowledgedWrite) {
    // A short time-out keeps the part without quorum short.
    Machine& a = machine("a", {}, {"--fleet-timeout", "2"});
    Machine& b = machine("b", {}, {"--fleet-timeout", "2"});
    auto root = shared(a);
    ASSERT_TRUE(root->set("k", 1));
    auto onA = Settings::open(a.options, kDomain, VKOwnership::shared());
    auto onB = Settings::open(b.options, kDomain, VKOwnership::shared());
    ASSERT_TRUE(eventually([&] { return onB->current() && onB->current()->get("k", -1) == 1; }));
    Heard heardOnA(onA, "k"), heardOnB(onB, "k");

    // An etcd client of the member left, beneath velkord, under keys outside the fleet's.
    const int leader = cluster().leader();
    auto etcd = client(leader);
    const std::string raw = "/raw" + prefix();
    etcd->put(raw + "k", "before", in(5s));
    stop(leader % 3 + 1);
    stop((leader + 1) % 3 + 1);
    EXPECT_EQ(refusal(*root, "refused", 2), VKError::serverError);
    EXPECT_EQ(root->get("refused"), nullptr) << "a refused change is undone";
    EXPECT_THAT(status(a, kDomain), HasSubstr("etcd is unreachable"));
    // Once etcd is known to be unreachable (and the member left knows it has no leader), a
    // write is refused at once, not after the whole --fleet-timeout (2 s here).
    bool refusedAtOnce = false;
    for (int i = 0; i < 10 && !refusedAtOnce; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(refusal(*root, "refused", 3), VKError::serverError);
        refusedAtOnce = std::chrono::steady_clock::now() - begin < 1s;
    }
    EXPECT_TRUE(refusedAtOnce);
    for (Machine* m : {&a, &b})
        EXPECT_EQ(fetch(*m)->get("refused"), nullptr);
    ASSERT_TRUE(connect(a.options)->openDictionary("org.example.own")->set("k", 7));
    EXPECT_EQ(connect(a.options)->getSettingAs<VKDictionary>("org.example.own")->get("k", -1), 7);
    // b, which asks etcd nothing meanwhile, knows too (from its watch)...
    const auto says = [&](Machine& m, const std::string& what) {
        return eventually([&] { return status(m, kDomain).find(what) != std::string::npos; });
    };
    EXPECT_TRUE(says(b, "etcd is unreachable"));
    // The client's calls end by their deadline, whether its member still waits for the leader
    // it believes in or knows it has none...
    for (const bool write : {true, false}) {
        const auto start = std::chrono::steady_clock::now();
        const auto error = callError(*etcd, write, raw + "k", in(1500ms));
        EXPECT_TRUE(unreachable(error))
            << (error ? error->what() : "a call without quorum succeeded");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
    // ...and once it knows, it refuses at once, and the refusal says that nothing was applied.
    bool refused = false;
    for (int attempt = 0; attempt < 10 && !refused; ++attempt) {
        const auto error = etcdErrorOf([&] { etcd->put(raw + "refused", "never", in(1s)); });
        ASSERT_TRUE(error) << "a write without quorum succeeded";
        refused = error->kind() == EtcdError::Kind::unavailable && !error->maybeApplied();
    }
    EXPECT_TRUE(refused);

    resume(leader % 3 + 1);
    resume((leader + 1) % 3 + 1);
    cluster().waitHealthy();
    EXPECT_TRUE(etcd->get(raw + "refused", in(5s)).kvs.empty());
    etcd->put(raw + "k", "after", in(5s));
    EXPECT_EQ(etcd->get(raw + "k", in(5s)).kvs.at(0).value, "after");
    // ...and both know when it is back, before any change.
    EXPECT_TRUE(says(a, "etcd is reachable"));
    EXPECT_TRUE(says(b, "etcd is reachable"));
    for (std::int64_t value : {3, 4}) {
        ASSERT_TRUE(eventually([&] { return root->set("k", value); }));
        for (Heard* heard : {&heardOnB, &heardOnA})
            ASSERT_TRUE(eventually([&] {
                return heard->besides(1).size() == std::size_t(value - 2);
            })) << ::testing::PrintToString(heard->get());
    }
    EXPECT_THAT(status(a, kDomain), HasSubstr("a fleet file"));
    EXPECT_THAT(status(a, kDomain), HasSubstr("etcd is reachable"));
    EXPECT_THAT(status(a, "org.other"), HasSubstr("a file of this machine"));
    std::this_thread::sleep_for(200ms);  // nothing more may come
    EXPECT_EQ(heardOnA.besides(1), (std::vector<std::int64_t>{3, 4}));
    EXPECT_EQ(heardOnB.besides(1), (std::vector<std::int64_t>{3, 4}));
    // A change refused for want of quorum may still commit once quorum is back (the leader kept
    // its proposal); then both machines have it: they never differ.
    EXPECT_TRUE(eventually([&] { return *fetch(a) == *fetch(b); }));

    // A follower killed, back, then the leader killed: writes go on after the election, and
    // every acknowledged write is on both machines afterwards, which hold the same content.
    std::atomic<bool> writing{true};
    // Per key, the last value acknowledged, and the values refused since: a change refused
    // while the election ran may still have committed (etcd kept the proposal).
    std::map<std::string, std::int64_t> acknowledged;
    std::map<std::string, std::set<std::int64_t>> refusedSince;
    std::atomic<int> acknowledgements{0};
    std::thread writer([&] {
        auto mine = shared(a);
        for (std::int64_t i = 0; writing; ++i) {
            const std::string key = "w" + std::to_string(i % 50);
            if (mine->set(key, i)) {
                acknowledged[key] = i;
                refusedSince[key].clear();
                ++acknowledgements;
            } else {
                refusedSince[key].insert(i);
            }
        }
    });
    const int leading = cluster().leader();
    kill(leading % 3 + 1);
    std::this_thread::sleep_for(300ms);
    resume(leading % 3 + 1);
    cluster().waitHealthy();
    kill(leading);
    const int beforeElection = acknowledgements;
    EXPECT_TRUE(eventually([&] { return acknowledgements > beforeElection + 10; }))
        << "writes go on after the election";
    writing = false;
    writer.join();
    ASSERT_FALSE(acknowledged.empty());
    resume(leading);
    cluster().waitHealthy();

    ASSERT_TRUE(eventually([&] { return *fetch(b) == *fetch(a); })) << "both machines end equal";
    auto fetched = fetch(a);
    for (const auto& [key, value] : acknowledged) {
        const auto stored = fetched->get(key, -1);
        EXPECT_TRUE(stored == value || refusedSince[key].contains(stored))
            << key << ": " << stored << ", acknowledged " << value;
    }
}

// Writes that etcd answers with a refusal leave the fleet reachable. A change larger than the
// members take is refused alone. etcd keeps every revision until its history is compacted, so
// a cluster never compacted fills its space quota and then refuses every write: fleet writes
// are then refused at once, nothing is applied, fetches go on, the log says what the
// administrator has to do, and once they have done it writes go through again.
//
// etcd that hangs (every member frozen, as when the network silently drops the machine's
// packets) holds fleet changes up until --fleet-timeout, never the reads: fetches are served by
// the copy while changes wait for etcd, within a request time-out shorter than that one change
// waits. Once etcd answers again, changes go through.
//
// (A cluster of its own, whose members take requests of 256 KiB and 8 MiB of data.)
TEST_F(FleetDaemonTest, WritesEtcdRefusesOrHoldsUpLeaveTheFleetReachableAndReadsServed) {
    velkor::test::EtcdCluster small(
        {"--quota-backend-bytes", "8388608", "--max-request-bytes", "262144"});
    // A time-out long enough that a refusal at once cannot be mistaken for one.
    Machine& a = machine("a", small.endpoints(), {"--fleet-timeout", "10"});
    auto root = shared(a);
    ASSERT_TRUE(root->set("k", 1));

    EXPECT_EQ(errorOf([&] {
                  root->set("large", std::make_shared<VKString>(std::string(300 * 1024, 'v')));
              }),
              VKError::serverError);
    EXPECT_EQ(root->get("large"), nullptr);
    EXPECT_THAT(status(a, kDomain), HasSubstr("etcd is reachable"));
    EXPECT_NE(a.daemon->log().find("etcd refused a change of fleet file"), std::string::npos);
    ASSERT_TRUE(root->set("small", 1));

    EtcdClient filler(endpointsOf(small.endpoints()));
    const std::string value(200 * 1024, 'x');
    std::optional<EtcdError::Kind> full;
    for (int i = 0; i < 128 && !full; ++i)
        full = etcdKindOf([&] { filler.put("/filler", value + std::to_string(i), in(30s)); });
    ASSERT_EQ(full, EtcdError::Kind::full) << "the quota was never reached";

    for (int i = 0; i < 3; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(refusal(*root, "k", 2), VKError::serverError);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s) << "refused at once";
    }
    EXPECT_EQ(root->get("k", -1), 1) << "a refused change is undone";
    EXPECT_EQ(fetch(a)->get("k", -1), 1);
    const auto log = a.daemon->log();
    EXPECT_NE(log.find("etcd's database is full"), std::string::npos) << log;
    EXPECT_THAT(status(a, kDomain), HasSubstr("etcd is reachable"));

    // What etcd's documentation says to do: compact, defragment, disarm the alarm. A member
    // applies a compaction in the background and gives the space back only when defragmented
    // after that; one still over its quota would raise the alarm again at the next write. So each
    // is defragmented until it reports a database well under the quota, as docs/fleet.md says.
    compactHistory(filler, "/filler");
    ASSERT_TRUE(eventually([&] {
        return small.etcdctl("defrag") &&
               std::ranges::all_of(small.databaseSizes(),
                                   [](long long bytes) { return bytes < 4 * 1024 * 1024; });
    }));
    ASSERT_TRUE(small.etcdctl("alarm disarm"));
    EXPECT_TRUE(eventually([&] { return root->set("k", 3); }));
    EXPECT_EQ(fetch(a)->get("k", -1), 3);
    const auto after = a.daemon->log();
    EXPECT_NE(after.find("etcd takes fleet changes again."), std::string::npos);
    EXPECT_EQ(after.find("The fleet is unreachable"), std::string::npos) << after;

    // A velkord whose --fleet-timeout is shorter, for the hanging etcd.
    Machine& b = machine("b", small.endpoints(), {"--fleet-timeout", "4"});
    auto onB = shared(b);
    ASSERT_TRUE(accepted([&] { onB->set("k", std::make_shared<VKNumber>(4)); }));
    for (int member = 1; member <= 3; ++member)
        small.freeze(member);

    // Two writers keep changes waiting for etcd all the time.
    std::atomic<bool> writing{true};
    std::atomic<int> accepted{0}, refused{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&, key = "w" + std::to_string(w)] {
            auto mine = shared(b);
            while (writing)
                ++(mine->set(key, 2) ? accepted : refused);
        });
    ConnectionOptions reader = b.options;
    reader.requestTimeout = 3s;
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(250ms);
        std::int64_t seen = -1;
        EXPECT_NO_THROW(
            seen = connect(reader)
                       ->getSettingAs<VKDictionary>(kDomain, {}, true, VKOwnership::shared())
                       ->get("k", -1));
        EXPECT_EQ(seen, 4);
    }
    writing = false;
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(accepted.load(), 0);
    EXPECT_GT(refused.load(), 0);

    for (int member = 1; member <= 3; ++member)
        small.thaw(member);
    EXPECT_TRUE(eventually([&] { return onB->set("k", 5); }));
    EXPECT_EQ(fetch(b)->get("k", -1), 5);
}

// A change whose etcd transaction would pass the fleet's limit per change is refused with
// invalidData before anything goes to etcd: etcd and both machines' copies stay as they were, and
// changes within the limit go on. The limit keeps every entry of the members' logs replayable, and
// every container one every velkord reads back: with the default limit, a change that would make
// a dictionary larger than the decoder takes (two values of 8.5 MiB) is refused in the same way,
// rather than written to etcd and read back by no machine. (Sanitizer builds move such messages
// slowly, and leave that part out.)
TEST_F(FleetDaemonTest, ChangesPastTheLimitPerChangeAreRefusedAndApplyNothing) {
    Machine& a = machine("a", {}, {"--fleet-max-change-size", "64K"});
    Machine& b = machine("b");
    auto onA = shared(a);
    ASSERT_TRUE(onA->set("k", 1));
    ASSERT_TRUE(eventually([&] { return fetch(b)->get("k", -1) == 1; }));
    auto etcd = client();
    const auto before = etcd->getPrefix(prefix(), in(10s)).kvs;

    EXPECT_EQ(errorOf([&] { onA->set("big", data(100 * 1024)); }), VKError::invalidData);
    EXPECT_EQ(onA->get("big"), nullptr);
    EXPECT_EQ(fetch(a)->get("big"), nullptr);
    EXPECT_EQ(etcd->getPrefix(prefix(), in(10s)).kvs, before);
    EXPECT_NE(a.daemon->log().find("Refused a change of fleet file"), std::string::npos);
    ASSERT_TRUE(onA->set("k", 2));
    EXPECT_TRUE(eventually([&] { return fetch(b)->get("k", -1) == 2; }));
    EXPECT_EQ(fetch(b)->get("big"), nullptr);

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    auto onB = shared(b);
    const std::size_t half = 17 * 512 * 1024;
    ASSERT_TRUE(accepted([&] { onB->set("b1", data(half)); }));
    ASSERT_TRUE(eventually([&] { return fetch(a)->get("b1") != nullptr; }));
    const auto written = etcd->getPrefix(prefix(), in(10s)).kvs;
    EXPECT_EQ(errorOf([&] { onB->set("b2", data(half)); }), VKError::invalidData);
    EXPECT_EQ(onB->get("b2"), nullptr);
    EXPECT_EQ(fetch(b)->get("b2"), nullptr);
    EXPECT_EQ(etcd->getPrefix(prefix(), in(10s)).kvs, written);
    // etcd may still be busy with the large change on a loaded machine: a change that times out
    // is made again.
    ASSERT_TRUE(accepted([&] { onB->set("k", std::make_shared<VKNumber>(3)); }));
    EXPECT_TRUE(eventually([&] { return fetch(a)->get("k", -1) == 3; }));
    EXPECT_EQ(fetch(a)->get("b2"), nullptr);
    EXPECT_NE(fetch(a)->get("b1"), nullptr);
#endif
}

// velkords authenticate as the etcd user their options name: a user that may read and write the
// fleet prefix writes, one that may only read follows the fleet and has its writes refused, as
// refusals of a fleet that answers. Beneath them, etcd clients carry the user's token and renew
// it when etcd forgets it. (A cluster of its own, since enabling authentication is cluster-wide;
// tokens live one second without use, so that their expiry can be waited out.)
TEST_F(FleetDaemonTest, VelkordsAndClientsAuthenticateAndAReadOnlyUserCannotWrite) {
    velkor::test::EtcdCluster secured({"--auth-token-ttl", "1"});
    for (const auto& step :
         std::vector<std::string>{"user add root --new-user-password=rootpw",
                                  "user add fleet --new-user-password=secret",
                                  "user add reader --new-user-password=readonly", "role add fleet",
                                  "role grant-permission fleet --prefix=true readwrite " + prefix(),
                                  "role grant-permission fleet --prefix=true readwrite /fleet/",
                                  "user grant-role fleet fleet", "role add reader",
                                  "role grant-permission reader --prefix=true read " + prefix(),
                                  "user grant-role reader reader", "auth enable"})
        ASSERT_TRUE(secured.etcdctl(step)) << step;
    Machine& writer = machine(
        "writer", secured.endpoints(),
        {"--fleet-user", "fleet", "--fleet-password-file", file("fleet.password", "secret")});
    Machine& reader = machine(
        "reader", secured.endpoints(),
        {"--fleet-user", "reader", "--fleet-password-file", file("reader.password", "readonly")});

    auto root = shared(writer);
    ASSERT_TRUE(root->set("k", 1));
    ASSERT_TRUE(eventually([&] { return fetch(reader)->get("k", -1) == 1; }));

    auto onReader = shared(reader);
    EXPECT_EQ(refusal(*onReader, "k", 2), VKError::serverError);
    EXPECT_EQ(onReader->get("k", -1), 1);
    EXPECT_EQ(fetch(writer)->get("k", -1), 1);
    EXPECT_THAT(status(reader, kDomain), HasSubstr("etcd is reachable"));
    EXPECT_NE(reader.daemon->log().find("etcd refused a change of fleet file"), std::string::npos);
    ASSERT_TRUE(root->set("k", 3));
    EXPECT_TRUE(eventually([&] { return onReader->get("k", -1) == 3; }));

    auto options = endpointsOf(secured.endpoints());
    options.user = "fleet";
    options.password = "secret";
    EtcdClient etcd(options);
    const int64_t first = etcd.put("/fleet/k", "1", in(5s));
    WatchLog log;
    auto watcher = etcd.watch("/fleet/", first + 1, log.callback());

    // The token expires while unused; the next call is refused with it, authenticates anew and
    // goes through, and so does a watch that has to start again.
    std::this_thread::sleep_for(2500ms);
    const int64_t second = etcd.put("/fleet/k", "2", in(5s));
    EXPECT_EQ(etcd.get("/fleet/k", in(5s)).kvs.at(0).value, "2");
    ASSERT_TRUE(log.waitForRevision(second));

    // A member that leaves an authentication unanswered (frozen here; etcd 3.4 does so for
    // seconds after an election) fails that call, but the next starts with another member.
    const int leader = secured.leader();
    const int watched = secured.memberOf(watcher->endpoint());
    int frozen = 1;
    while (frozen == leader || frozen == watched)
        ++frozen;
    secured.freeze(frozen);
    auto frozenFirst = options;
    std::rotate(frozenFirst.endpoints.begin(), frozenFirst.endpoints.begin() + (frozen - 1),
                frozenFirst.endpoints.end());
    EtcdClient afterFrozen(frozenFirst);
    EXPECT_EQ(etcdKindOf([&] { afterFrozen.get("/fleet/k", in(2s)); }), EtcdError::Kind::timeout);
    const auto next = etcdErrorOf([&] { afterFrozen.get("/fleet/k", in(10s)); });
    secured.thaw(frozen);
    EXPECT_FALSE(next) << next->what();

    const int killed = watched;
    secured.kill(killed);
    // The member killed may have led: the next put waits for the election to end, since a
    // member that has yet to notice its leader is gone takes the put and never answers it.
    ASSERT_TRUE(within(30s, [&] {
        try {
            return secured.leader() > 0;
        } catch (const std::runtime_error&) {
            return false;
        }
    })) << "no member leads";
    // etcd 3.4 may keep a member's reads, and so its authentications, waiting for several
    // seconds after an election: a read it asked the leader about while it had none is dropped,
    // and the reads queued behind it wait out etcd's own request time-out. Wait until every
    // running member serves reads again (and so knows its new leader).
    for (int member = 1; member <= 3; ++member) {
        if (member == killed)
            continue;
        auto alone = options;
        alone.endpoints = {secured.endpoints()[member - 1]};
        EtcdClient one(alone);
        std::optional<EtcdError> error;
        ASSERT_TRUE(within(
            60s, [&] { return !(error = etcdErrorOf([&] { one.get("/fleet/k", in(5s)); })); }))
            << "member " << member << ": " << error->what();
    }

    const int64_t third = etcd.put("/fleet/k", "3", in(5s));
    ASSERT_TRUE(log.waitForRevision(third));
    std::vector<int64_t> revisions;
    for (const auto& event : log.events())
        revisions.push_back(event.kv.modRevision);
    EXPECT_EQ(revisions, (std::vector<int64_t>{second, third}));

    // Outside its permissions, with a wrong password, or with no user at all, the user is
    // refused as such. A member may still hold a read for seconds after the election (see
    // above): the calls have time to wait that out.
    const auto expectDenied = [](const std::optional<EtcdError>& error) {
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), EtcdError::Kind::denied) << error->what();
    };
    expectDenied(etcdErrorOf([&] { etcd.put("/elsewhere", "x", in(30s)); }));
    options.password = "wrong";
    expectDenied(etcdErrorOf([&] { EtcdClient(options).get("/fleet/k", in(30s)); }));
    options.user.clear();
    expectDenied(etcdErrorOf([&] { EtcdClient(options).get("/fleet/k", in(30s)); }));
}

// A velkord that has not yet read the fleet (its first start) has nothing to answer fleet
// requests with: it holds them until it has read it, rather than call a fleet file missing (a
// client would then create it anew), and while etcd cannot be reached for that, it refuses them
// with serverError, at once when reading has failed for a whole time-out. Its machine's own files
// are served all the while.
TEST_F(FleetDaemonTest, AVelkordThatHasNotReadTheFleetYetNeverCallsAFleetFileMissing) {
    Machine& a = machine("a");
    ASSERT_TRUE(shared(a)->set("k", 1));

    // etcd answers only once B has started and been asked.
    for (int member = 1; member <= 3; ++member)
        freeze(member);
    Machine& b = machine("b");
    std::int64_t seen = -1;
    auto read = std::async(std::launch::async,
                           [&] { return errorOf([&] { seen = fetch(b)->get("k", -1); }); });
    std::this_thread::sleep_for(500ms);
    for (int member = 1; member <= 3; ++member)
        thaw(member);
    EXPECT_EQ(read.get(), std::nullopt);
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(shared(b)->set("k", 2));

    // etcd does not answer within C's time-out.
    cluster().waitHealthy();
    for (int member = 1; member <= 3; ++member)
        freeze(member);
    Machine& c = machine("c", {}, {"--fleet-timeout", "2"});
    EXPECT_EQ(errorOf([&] { (void)fetch(c); }), VKError::serverError);
    EXPECT_EQ(errorOf([&] { (void)shared(c); }), VKError::serverError);
    // Once reading has failed for a whole time-out, C refuses at once rather than each request
    // after the time-out.
    auto onC = connect(c.options);
    EXPECT_TRUE(eventually([&] {
        const auto begin = std::chrono::steady_clock::now();
        const auto error = errorOf([&] {
            (void)onC->getSettingAs<VKDictionary>(kDomain, {}, true, VKOwnership::shared());
        });
        return error == VKError::serverError && std::chrono::steady_clock::now() - begin < 1s;
    }));
    EXPECT_TRUE(
        connect(c.options)->openDictionary("org.other.own", VKOwnership::shared())->set("k", 1));
    for (int member = 1; member <= 3; ++member)
        thaw(member);
    cluster().waitHealthy();
    EXPECT_TRUE(eventually([&] { return fetch(c)->get("k", -1) == 2; }));
}

// A velkord restarted while the other machine changes the file serves the current content, and
// one whose etcd member was away while the history was compacted past its last revision reads
// the fleet afresh: its clients hear the differences. What other machines change reaches a
// velkord's clients in messages within its answer limit, and so within what its bus carries,
// however much one watch delivery or reading afresh brings: each file's change goes out on its
// own, and a change whose notice alone would pass the limit abandons the containers it is about
// instead (their holders fetch them anew), rather than have velkord cut off from its bus.
TEST_F(FleetDaemonTest, ARestartOrACompactionCatchesUpInNoticesWithinTheMessageLimits) {
    // B talks to a follower alone, over a bus that carries messages of 200 KiB at most, and
    // answers within 150 KiB; A talks to the other members. B can be cut off by stopping its
    // member while A keeps a leader, and A's first write after the stop does not go out on the
    // connection to the stopped member (which velkord would refuse as of unknown outcome).
    const int follower = cluster().leader() % 3 + 1;
    auto others = cluster().endpoints();
    others.erase(others.begin() + (follower - 1));
    // A's large changes may take etcd a while on a loaded machine (a member has just come back).
    Machine& a = machine("a", others, {"--fleet-timeout", "10"});
    Machine& b =
        machine("b", {cluster().endpoints()[follower - 1]},
                {"--no-direct-channels", "--max-file-size", "100K", "--max-answer-size", "150K"},
                "<policy context=\"default\"><allow user=\"*\"/>"
                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                "<allow own=\"*\"/></policy>\n"
                "<limit name=\"max_message_size\">204800</limit>\n");
    const std::string second = "org.example.lab2";
    auto root = shared(a);
    auto other = shared(a, second);
    ASSERT_TRUE(root->set("k", 1) && other->set("k", 1));
    ASSERT_TRUE(eventually([&] { return fetch(b)->get("k", -1) == 1; }));

    b.daemon->stop();
    ASSERT_TRUE(root->set("k", 2) && root->set("added", 1));
    b.start();
    auto onB = Settings::open(b.options, kDomain, VKOwnership::shared());
    ASSERT_TRUE(eventually([&] {
        auto current = onB->current();
        return current && current->get("k", -1) == 2 && current->get("added", -1) == 1;
    }));
    // One client of B holds both files.
    auto reader = connect(b.options);
    std::shared_ptr<VKDictionary> heldFirst, heldOther;
    ASSERT_TRUE(eventually([&] {
        heldFirst = reader->openDictionary(kDomain, VKOwnership::shared());
        heldOther = reader->openDictionary(second, VKOwnership::shared());
        return heldFirst->get("k", -1) == 2 && heldOther->get("k", -1) == 1;
    }));

    Heard heard(onB, "k");
    // Reading afresh after a compaction brings a change of each file at once, together more
    // than the bus carries: each reaches the client.
    stop(follower);
    ASSERT_TRUE(root->set("k", 3));
    ASSERT_TRUE(accepted([&] { root->remove("added"); }));
    ASSERT_TRUE(accepted([&] { root->set("big", data(120 * 1024)); }));
    ASSERT_TRUE(accepted([&] { other->set("big", data(120 * 1024)); }));
    compactHistory(*client(), prefix());
    resume(follower);
    EXPECT_TRUE(eventually([&] {
        auto current = onB->current();
        return current && current->get("k", -1) == 3 && current->get("added") == nullptr;
    }));
    EXPECT_TRUE(eventually(
        [&] { return heldFirst->get("big") != nullptr && heldOther->get("big") != nullptr; }));
    EXPECT_TRUE(eventually([&] { return *fetch(b) == *fetch(a); }));
    EXPECT_TRUE(eventually([&] { return !heard.besides(2).empty(); }));
    EXPECT_EQ(heard.besides(2), std::vector<std::int64_t>{3});

    // A change whose notice alone passes B's limit: B's client is told to fetch the file anew
    // (which B then refuses as too large to send), and B goes on serving.
    ASSERT_TRUE(accepted([&] { root->set("huge", data(210 * 1024)); }));
    EXPECT_TRUE(
        eventually([&] { return errorOf([&] { (void)fetch(b); }) == VKError::invalidFileData; }));
    EXPECT_NE(fetch(b, second)->get("big"), nullptr);
    EXPECT_NE(heldOther->get("big"), nullptr);
}

// Two machines change one dictionary from the same revision at once, round after round: on the
// same key exactly one wins and the other is refused as a conflict, and the holders on both
// machines hear of the winner (the loser's machine may have caught up with it while applying the
// refused change); on different keys both are accepted (the merge rule, as between two clients
// of one machine). Both machines end equal.
//
// A velkord killed while it reads the files that another machine creates, one after another,
// has every one of them when it runs again: it resumes its watch no later than the first file
// it had not finished reading, not past it. (Three creators keep B reading files most of the
// time, so that each kill, at any moment, is likely to fall amid reading one.)
TEST_F(FleetDaemonTest, RacesFromOneRevisionResolveAndAVelkordKilledWhileReadingCatchesUp) {
    Machine& a = machine("a");
    Machine& b = machine("b");
    auto onA = shared(a);
    ASSERT_TRUE(onA->set("start", 1));
    auto onB = shared(b);
    // The changes on one key go out as raw requests, which name the revision they are made
    // from: the library sends its copy's revision when it sends, and on a loaded machine a
    // notice of the other machine's change may reach that copy first.
    DaemonClient rawA(a.bus.address()), rawB(b.bus.address());
    auto together = [&](auto&& changeA, auto&& changeB) {
        EXPECT_TRUE(eventually([&] { return onA->revision() == onB->revision(); }));
        std::atomic<int> ready{0};
        decltype(changeA()) resultA, resultB;
        auto run = [&](auto&& change, auto& result) {
            ++ready;
            while (ready < 2) {
            }
            result = change();
        };
        std::thread first([&] { run(changeA, resultA); });
        run(changeB, resultB);
        first.join();
        return std::pair(resultA, resultB);
    };
    constexpr int kRounds = 16;
    for (int round = 0; round < kRounds; ++round) {
        // Both from the revision both copies have now, whichever is sent later.
        ASSERT_TRUE(eventually([&] { return onA->revision() == onB->revision(); }));
        const auto id = onA->id();
        const auto from = onA->revision();
        auto same = [&](DaemonClient* raw, int value) {
            return [&, raw, value] {
                return resultOf(raw->request(setting(id, from, "same", num(value), round == 0)));
            };
        };
        auto [sameA, sameB] = together(same(&rawA, 100 + round), same(&rawB, 200 + round));
        ASSERT_TRUE(sameA && sameB) << "round " << round;
        // The winner's answer may be waitToBeUpdated rather than done: the copies need not have
        // the revisions of the last round's merged changes yet.
        EXPECT_EQ((*sameA == ChangeResult::synchronizeConflict) +
                      (*sameB == ChangeResult::synchronizeConflict),
                  1)
            << "exactly one wins, round " << round << ": " << int(*sameA) << ", " << int(*sameB);
        const int winner = *sameA != ChangeResult::synchronizeConflict ? 100 + round : 200 + round;
        EXPECT_TRUE(eventually([&] {
            return onA->get("same", -1) == winner && onB->get("same", -1) == winner &&
                   fetch(a)->get("same", -1) == winner && fetch(b)->get("same", -1) == winner;
        })) << "round "
            << round << ": A " << onA->get("same", -1) << "@" << onA->revision() << " B "
            << onB->get("same", -1) << "@" << onB->revision() << " fetched "
            << fetch(a)->get("same", -1) << "@" << fetch(a)->revision() << " / "
            << fetch(b)->get("same", -1) << "@" << fetch(b)->revision();

        auto [ownA, ownB] = together([&] { return refusal(*onA, "a", round); },
                                     [&] { return refusal(*onB, "b", round); });
        EXPECT_EQ(ownA, std::nullopt) << "round " << round;
        EXPECT_EQ(ownB, std::nullopt) << "round " << round;
    }
    EXPECT_TRUE(eventually([&] { return *fetch(a) == *fetch(b) && *onA == *onB; }));
    auto endA = fetch(a);
    EXPECT_EQ(endA->get("a", -1), kRounds - 1);
    EXPECT_EQ(endA->get("b", -1), kRounds - 1);

    constexpr int kKills = 3, kCreators = 3, kFiles = 15;
    auto domain = [](int round, int creator, int file) {
        return "org.example.r" + std::to_string(round) + "c" + std::to_string(creator) + "f" +
               std::to_string(file);
    };
    for (int round = 0; round < kKills; ++round) {
        std::vector<std::thread> creators;
        for (int c = 0; c < kCreators; ++c)
            creators.emplace_back([&, c] {
                auto connection = connect(a.options);
                for (int f = 0; f < kFiles; ++f)
                    EXPECT_TRUE(accepted([&] {
                        connection->openDictionary(domain(round, c, f), VKOwnership::shared());
                    }));
            });
        // Killed once it has read some of the round's files.
        EXPECT_TRUE(eventually(
            [&] { return fetch(b, domain(round, 0, 2)) && fetch(b, domain(round, 1, 2)); }));
        b.daemon->stop(SIGKILL);
        for (auto& creator : creators)
            creator.join();
        b.start();
        std::string lacking;
        const bool complete = eventually([&] {
            lacking.clear();
            for (int c = 0; c < kCreators; ++c)
                for (int f = 0; f < kFiles; ++f)
                    if (errorOf([&] { (void)fetch(b, domain(round, c, f)); }))
                        lacking += " " + domain(round, c, f);
            return lacking.empty();
        });
        ASSERT_TRUE(complete) << "round " << round << ": B lacks" << lacking;
    }
}

}  // namespace velkor::fleet::test
