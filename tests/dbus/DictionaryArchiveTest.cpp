#include <gtest/gtest.h>

#include "OfflineBus.h"
#include "dbus/DictionaryArchiveWriter.h"
#include "dbus/MessageReader.h"
#include "dbus/MessageWriter.h"

using namespace velkor;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

}  // namespace

// Change records travel as "a{sv}" dictionaries. Only the type and the id are required: other
// fields of another type read as missing, a repeated key keeps its first value, unknown keys are
// ignored; a type or id that cannot be read fails the record.
TEST(DictionaryArchiveTest, OnlyTheTypeAndIdOfARecordAreRequired) {
    test::OfflineBus offline;
    using Fill = std::function<void(dbus::DictionaryArchiveWriter&, sd_bus_message*)>;
    auto read = [&](const Fill& fill, const char* signature = "{sv}") {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, "/t", "org.t.T", "D"), 0);
        dbus::Message message(raw);
        dbus::MessageWriter writer(raw);
        writer.openContainer('a', signature);
        dbus::DictionaryArchiveWriter archive(writer);
        fill(archive, raw);
        writer.closeContainer();
        offline.seal(message);
        return dbus::MessageReader(raw).record();
    };
    auto lenient = read([](auto& a, auto m) {
        a.encodeInteger("type", 2);
        a.encodeInteger("type", 99);
        a.encodeUuid("id", kId);
        a.encodeText("revision", "7");
        sd_bus_message_append(m, "{sv}", "from", "i", 5);
        a.encodeInteger("key", 12);
        sd_bus_message_append(m, "{sv}", "data", "s", "not bytes");
        sd_bus_message_append(m, "{sv}", "extra", "ad", 1, 2.5);
    });
    ASSERT_NE(lenient, nullptr);
    EXPECT_EQ(*lenient, VKChangeNotification(ChangeType::childInserted, kId, 0, 0, 0, "", {}));

    const Fill fails[] = {
        [](auto& a, auto) {
            a.encodeInteger("type", 1);
            a.encodeBytes("id", std::vector<std::uint8_t>(15, 1));
        },
        [](auto& a, auto) {
            a.encodeInteger("type", 13);
            a.encodeUuid("id", kId);
        },
        [](auto& a, auto m) {
            sd_bus_message_append(m, "{sv}", "type", "t", std::uint64_t{1});
            a.encodeUuid("id", kId);
        },
        [](auto&, auto) {},
    };
    for (const auto& fill : fails)
        EXPECT_EQ(read(fill), nullptr);
    EXPECT_EQ(read([](auto&, auto m) { sd_bus_message_append(m, "{ss}", "type", "1"); }, "{ss}"),
              nullptr);
}
