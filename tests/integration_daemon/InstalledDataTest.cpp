#include <regex>
#include <set>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

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
std::function<std::string(DaemonClient&)> errorOf(const char* interface, const char* member) {
    return [=](DaemonClient& client) {
        const std::string error = client.callForError(callOf(client, interface, member));
        return error.empty() ? "ok" : error;
    };
}

std::function<std::string(DaemonClient&)> request(const ClientRequest& r) {
    return [=](DaemonClient& client) {
        const std::string answer = text(client.request(r));
        return answer.substr(0, answer.find('('));
    };
}

/// The members of `interface` in an introspection description, each as "name:argument types".
std::set<std::string> members(const std::string& xml, const std::string& interface) {
    const auto start = xml.find("<interface name=\"" + interface + "\">");
    if (start == std::string::npos)
        return {};
    const std::string part = xml.substr(start, xml.find("</interface>", start) - start);
    static const std::regex member(R"re(<(method|signal) name="(\w+)">([\s\S]*?)</\1>)re");
    static const std::regex type(R"re(type="([^"]+)")re");
    std::set<std::string> found;
    for (std::sregex_iterator it(part.begin(), part.end(), member), end; it != end; ++it) {
        const std::string body = (*it)[3];
        std::string text = (*it)[2].str() + ":";
        for (std::sregex_iterator t(body.begin(), body.end(), type); t != end; ++t)
            text += (*t)[1];
        found.insert(text);
    }
    static const std::regex property(R"re(<property name="(\w+)" type="([^"]+)")re");
    for (std::sregex_iterator it(part.begin(), part.end(), property), end; it != end; ++it)
        found.insert((*it)[1].str() + ":" + (*it)[2].str());
    return found;
}

}  // namespace

class LiveIntrospectionTest : public DaemonBusTest {};

// The installed descriptions are what integrators read; they must say what velkord serves.
TEST_F(LiveIntrospectionTest, TheDaemonDescribesItsInterfacesAsTheInstalledFilesDo) {
    auto client = connect();
    const char* live = nullptr;
    sd_bus_message* raw = nullptr;
    ASSERT_GE(
        sd_bus_call_method(client->bus().get(), kService.c_str(), dbus_names::kObjectPath,
                           "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, &raw, ""),
        0);
    dbus::Message reply(raw);
    ASSERT_GE(sd_bus_message_read(reply.get(), "s", &live), 0);
    for (const std::string interface :
         {dbus_names::kRequestInterface, dbus_names::kResponseInterface,
          dbus_names::kChannelInterface, "org.velkor.SettingsDaemonStatus"}) {
        const auto installed =
            members(contents(std::string(VELKOR_SOURCE_DIR) + "/daemon/data/" + interface + ".xml"),
                    interface);
        EXPECT_FALSE(installed.empty()) << interface;
        EXPECT_EQ(members(live, interface), installed) << interface;
    }
}

TEST(InstalledDataTest, OnTheSystemBusRootOwnsTheNameEveryoneCallsTheRequestsAndReadsTheirOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "owning the name and switching users need root";
    // A bus with the system bus's default policy (everything denied that is not opened) and the
    // daemon's policy file.
    PrivateBus bus({},
                   "<policy context='default'><allow user='*'/><deny own='*'/>"
                   "<deny send_type='method_call'/><allow send_type='signal'/>"
                   "<allow send_requested_reply='true' send_type='method_return'/>"
                   "<allow send_requested_reply='true' send_type='error'/>"
                   "<allow receive_type='method_call'/><allow receive_type='method_return'/>"
                   "<allow receive_type='error'/><allow receive_type='signal'/>"
                   "<allow send_destination='org.freedesktop.DBus' "
                   "send_interface='org.freedesktop.DBus'/></policy><include>" +
                       std::string(VELKOR_SOURCE_DIR) +
                       "/daemon/data/org.velkor.SettingsDaemon.conf" + "</include>");
    const std::string& address = bus.address();
    // Root may own the name: the daemon comes up.
    TempDir dir;
    TestDaemon velkord({kVelkord, address, dir.file("settings.db")});

    const std::string denied = "org.freedesktop.DBus.Error.AccessDenied";
    // Another user may not: the bus answers AccessDenied, which sd-bus reports as EACCES.
    EXPECT_EQ(as(kNobody, address,
                 [](DaemonClient& client) {
                     return client.bus().requestName(kService) ? "owned" : "queued";
                 }),
              "failed: Requesting a bus name: Permission denied");
    // Its description, Peer and reading its status are open to everyone, as on any service;
    // nothing else of the daemon is reachable, for root either.
    for (uid_t uid : {kNobody, uid_t{0}}) {
        EXPECT_EQ(as(uid, address, errorOf("org.freedesktop.DBus.Introspectable", "Introspect")),
                  "ok");
        EXPECT_EQ(as(uid, address, errorOf("org.freedesktop.DBus.Peer", "Ping")), "ok");
        EXPECT_NE(as(uid, address, errorOf("org.freedesktop.DBus.Properties", "GetAll")), denied);
        EXPECT_EQ(as(uid, address, errorOf("org.freedesktop.DBus.Properties", "Set")), denied);
    }

    // Requests go through and their answers come back; the daemon knows the caller's uid
    // from the bus, whatever the request says: a user reads its own file and no other.
    DaemonClient admin(address);
    for (std::uint32_t user : {1000u, kNobody})
        ASSERT_EQ(text(admin.request(createRequest(dict(newId(), {}), user))), "requestSucceeded");
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(1000))), "requestHasFailed");
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(kNobody))), "settingsFetched");
    EXPECT_TRUE(isFetched(admin.request(fetchRequest(1000))));
    // So it is on a direct channel, which the policy lets everyone ask for: there the client is
    // the user the bus said it was when it asked, and nothing it sends makes it another.
    const auto direct = DaemonClient::Path::direct;
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(1000)), direct), "requestHasFailed");
    EXPECT_EQ(as(kNobody, address, request(fetchRequest(kNobody)), direct), "settingsFetched");

    // The daemon may ping a client that has a megabyte of answers to read, to learn whether it
    // reads them; the client's next answer comes after the ping's reply was handled.
    const UUID bigId = newId();
    const Node tree = dict(bigId, {{"big", dat(std::string(1100 * 1024, 'b'))}});
    ASSERT_EQ(text(admin.request(createRequest(tree, 0, "org.example.big"))), "requestSucceeded");
    EXPECT_EQ(fetched(admin.request(fetchRequest(0, "org.example.big"))), daemonBlob(tree, bigId));
    EXPECT_EQ(text(admin.request(fetchRequest(0, "org.example.none"))), kNoAccess);
    EXPECT_EQ(velkord.log().find("does not let velkord ping"), std::string::npos) << velkord.log();
}
