#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "DaemonBusTesting.h"
#include "internals/SettingsService.h"

using namespace velkor;
using namespace velkor::test;

namespace {

const std::filesystem::path kData = std::filesystem::path(kSourceDir) / "daemon" / "data";

/// The methods or signals (`element`) of `interface` in an introspection description, by name:
/// the types of their arguments, then each argument's name and type, and whether it is one-way.
std::map<std::string, std::string> members(const std::string& xml, const std::string& interface,
                                           const std::string& element) {
    const auto start = xml.find("<interface name=\"" + interface + "\">");
    const std::string part = start == std::string::npos
                                 ? ""
                                 : xml.substr(start, xml.find("</interface>", start) - start);
    const std::regex block("<" + element + " name=\"(\\w+)\">([\\s\\S]*?)</" + element + ">");
    const std::regex arg("<arg [^>]*>"), name("name=\"([^\"]+)\""), type("type=\"([^\"]+)\"");
    std::map<std::string, std::string> found;
    for (std::sregex_iterator it(part.begin(), part.end(), block), end; it != end; ++it) {
        const std::string body = (*it)[2];
        std::string signature, arguments;
        for (std::sregex_iterator a(body.begin(), body.end(), arg); a != end; ++a) {
            const std::string text = a->str();
            std::smatch n, t;
            std::regex_search(text, n, name);
            std::regex_search(text, t, type);
            signature += t[1];
            arguments += " " + n[1].str() + ":" + t[1].str();
        }
        const bool oneWay = body.find("\"org.freedesktop.DBus.Method.NoReply\" value=\"true\"") !=
                            std::string::npos;
        found[(*it)[1]] = signature + arguments + (oneWay ? " one-way" : "");
    }
    return found;
}

/// What `call` gives, made by a client of its own under `uid`.
std::string as(uid_t uid, const std::string& address,
               const std::function<std::string(DaemonClient&)>& call,
               DaemonClient::Path path = DaemonClient::Path::bus) {
    return asUser(uid,
                  [&] {
                      DaemonClient client(address, kService, path);
                      return call(client);
                  })
        .second;
}

/// The D-Bus error a call without arguments of `member` of velkord's object gets; "ok" for none.
std::function<std::string(DaemonClient&)> callOf(const std::string& interface,
                                                 const std::string& member) {
    return [=](DaemonClient& client) {
        sd_bus_message* raw = nullptr;
        sd_bus_message_new_method_call(client.bus().get(), &raw, kService.c_str(),
                                       dbus_names::kObjectPath, interface.c_str(), member.c_str());
        const std::string error = client.callForError(dbus::Message(raw));
        return error.empty() ? "ok" : error;
    };
}

std::function<std::string(DaemonClient&)> request(const ClientRequest& r) {
    return [=](DaemonClient& client) {
        const std::string answer = text(client.request(r));
        return answer.substr(0, answer.find('('));
    };
}

}  // namespace

class LiveIntrospectionTest : public DaemonBusTest {};

TEST_F(LiveIntrospectionTest, TheDaemonDescribesItselfAsTheInstalledFilesAndTheLibraryDo) {
    auto client = connect();
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    ASSERT_GE(
        sd_bus_call_method(client->bus().get(), kService.c_str(), dbus_names::kObjectPath,
                           "org.freedesktop.DBus.Introspectable", "Introspect", &error, &raw, ""),
        0);
    dbus::Message reply(raw);
    const char* live = nullptr;
    ASSERT_GE(sd_bus_message_read(reply.get(), "s", &live), 0);

    auto check = [&](const char* interface, const char* element, const auto& members_,
                     const auto& signatures, bool oneWay) {
        std::ostringstream installed;
        installed << std::ifstream(kData / (std::string(interface) + ".xml")).rdbuf();
        const auto described = members(installed.str(), interface, element);
        EXPECT_EQ(members(live, interface, element), described);
        ASSERT_EQ(described.size(), std::size(members_));
        for (std::size_t i = 0; i < described.size(); ++i) {
            const auto it = described.find(members_[i]);
            ASSERT_NE(it, described.end()) << members_[i];
            EXPECT_EQ(it->second.substr(0, it->second.find(' ')), signatures[i]);
            EXPECT_EQ(it->second.ends_with(" one-way"), oneWay) << members_[i];
        }
    };
    check(dbus_names::kRequestInterface, "method", SettingsRequestService::kMembers,
          SettingsRequestService::kSignatures, true);
    check(dbus_names::kResponseInterface, "signal", SettingsResponseService::kMembers,
          SettingsResponseService::kSignatures, false);
    const char* channelMembers[] = {dbus_names::kOpenChannelMember};
    const char* channelSignatures[] = {"h"};
    check(dbus_names::kChannelInterface, "method", channelMembers, channelSignatures, false);
}

TEST(InstalledDataTest, OnTheSystemBusRootOwnsTheNameEveryoneCallsTheRequestsAndReadsTheirOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "owning the name and switching users need root";
    // A dbus-daemon with the system bus's default policy (everything denied that is not opened)
    // and the daemon's policy file.
    TempDir dir;
    std::ofstream(dir.file("bus.conf"))
        << "<busconfig><type>system</type><listen>unix:path=" << dir.file("bus")
        << "</listen><auth>EXTERNAL</auth><policy context='default'>"
           "<allow user='*'/><deny own='*'/><deny send_type='method_call'/>"
           "<allow send_type='signal'/><allow send_requested_reply='true' "
           "send_type='method_return'/><allow send_requested_reply='true' send_type='error'/>"
           "<allow receive_type='method_call'/><allow receive_type='method_return'/>"
           "<allow receive_type='error'/><allow receive_type='signal'/>"
           "<allow send_destination='org.freedesktop.DBus' "
           "send_interface='org.freedesktop.DBus'/></policy><include>"
        << (kData / "org.velkor.SettingsDaemon.conf").string() << "</include></busconfig>";
    // The socket's directory must be reachable by clients under another uid.
    std::filesystem::permissions(dir.file(""), std::filesystem::perms(0755));
    std::istringstream started(run("dbus-daemon --config-file=" + dir.file("bus.conf") +
                                   " --fork --nopidfile --print-address=1 --print-pid=1")
                                   .second);
    std::string address;
    pid_t busPid = -1;
    started >> address >> busPid;
    ASSERT_GT(busPid, 0) << "the system-type bus did not start";
    std::shared_ptr<void> stopBus(nullptr, [busPid](void*) { kill(busPid, SIGTERM); });
    // Root may own the name: the daemon comes up.
    TestDaemon velkord({kVelkord, address, dir.file("settings.db")});

    const std::string denied = "org.freedesktop.DBus.Error.AccessDenied";
    EXPECT_EQ(as(kNobody, address,
                 [](DaemonClient& client) {
                     sd_bus_error error = SD_BUS_ERROR_NULL;
                     const int r = sd_bus_call_method(client.bus().get(), "org.freedesktop.DBus",
                                                      "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "RequestName", &error,
                                                      nullptr, "su", kService.c_str(), 0u);
                     std::string name = r < 0 && error.name ? error.name : "owned";
                     sd_bus_error_free(&error);
                     return name;
                 }),
              denied);
    // Its description and Peer are open to everyone, as on any service; nothing else of the
    // daemon is reachable, for root either.
    for (uid_t uid : {kNobody, uid_t{0}}) {
        EXPECT_EQ(as(uid, address, callOf("org.freedesktop.DBus.Introspectable", "Introspect")),
                  "ok");
        EXPECT_EQ(as(uid, address, callOf("org.freedesktop.DBus.Peer", "Ping")), "ok");
        EXPECT_EQ(as(uid, address, callOf("org.freedesktop.DBus.Properties", "GetAll")), denied);
    }

    // Requests go through and their answers come back; the daemon knows the caller's uid
    // from the bus, whatever the request says: a user reads its own file and no other.
    DaemonClient admin(address);
    for (std::uint32_t user : {1000u, kNobody})
        ASSERT_EQ(text(admin.request(createRequest(dict(newId(), {}), user))), "requestSucceeded");
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(1000))), "requestHasFailed");
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(kNobody))), "settingsFetched");
    EXPECT_EQ(fetchedTree(admin.request(fetchRequest(1000))).kind, ValueKind::dictionary);
    // So it is on a direct channel, which the policy lets everyone ask for: there the client is
    // the user the bus said it was when it asked, and nothing it sends makes it another.
    const auto direct = DaemonClient::Path::direct;
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(1000)), direct), "requestHasFailed");
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(kNobody)), direct), "settingsFetched");

    // The daemon may ping a client that has a megabyte of answers to read, to learn whether it
    // reads them; the client's next answer comes after the ping's reply was handled.
    const Node tree = dict(newId(), {{"big", dat(std::string(1100 * 1024, 'b'))}});
    ASSERT_EQ(text(admin.request(createRequest(tree, 0, "org.example.big"))), "requestSucceeded");
    EXPECT_EQ(fetchedTree(admin.request(fetchRequest(0, "org.example.big"))).count(), 1u);
    EXPECT_EQ(text(admin.request(fetchRequest(0, "org.example.none"))), kNoAccess);
    EXPECT_EQ(velkord.log().find("does not let velkord ping"), std::string::npos) << velkord.log();
}
