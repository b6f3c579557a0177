#include <gtest/gtest.h>

#include "OfflineBus.h"
#include "dbus/DictionaryArchiveReader.h"
#include "dbus/DictionaryArchiveWriter.h"
#include "dbus/MessageReader.h"
#include "dbus/MessageWriter.h"

using namespace velkor;
using dbus::DictionaryArchiveReader;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

/// A message holding one "a{sv}" written by `fill`, sealed and ready to be read.
class DictionaryArchiveTest : public ::testing::Test {
  protected:
    template <typename F>
    dbus::Message dictionary(F fill) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, "/t", "org.t.T", "D"), 0);
        dbus::Message message(raw);
        dbus::MessageWriter writer(raw);
        writer.openContainer('a', "{sv}");
        dbus::DictionaryArchiveWriter archive(writer);
        fill(archive, raw);
        writer.closeContainer();
        offline.seal(message);
        return message;
    }

    static ChangeNotificationPtr readRecord(const dbus::Message& message) {
        return dbus::MessageReader(message.get()).record();
    }

    test::OfflineBus offline;
};

}  // namespace

TEST_F(DictionaryArchiveTest, ARecordKeepsAllSevenFieldsWithTheirWireTypes) {
    VKChangeNotification record(ChangeType::childrenReplaced, kId, INT64_MAX, INT64_MIN, -1, "ключ",
                                {9, 8, 7, 0, 255});
    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, "/t", "org.t.T", "R"), 0);
    dbus::Message message(raw);
    dbus::MessageWriter(raw).record(record);
    offline.seal(message);
    EXPECT_EQ(message.signature(), "a{sv}");

    auto read = readRecord(message);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(*read, record);

    // The entries are written in order, each with the type other readers expect.
    ASSERT_GE(sd_bus_message_rewind(raw, 1), 0);
    ASSERT_GT(sd_bus_message_enter_container(raw, 'a', "{sv}"), 0);
    std::vector<std::string> seen;
    while (sd_bus_message_enter_container(raw, 'e', "sv") > 0) {
        const char* key = nullptr;
        const char* contents = nullptr;
        ASSERT_GT(sd_bus_message_read_basic(raw, 's', &key), 0);
        ASSERT_GT(sd_bus_message_peek_type(raw, nullptr, &contents), 0);
        seen.push_back(std::string(key) + ":" + contents);
        ASSERT_GE(sd_bus_message_skip(raw, "v"), 0);
        ASSERT_GE(sd_bus_message_exit_container(raw), 0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"type:x", "id:ay", "revision:x", "from:x", "to:x",
                                              "key:s", "data:ay"}));
}

TEST_F(DictionaryArchiveTest, ValuesOfAnotherTypeReadAsMissingAndARepeatedKeyKeepsItsFirst) {
    auto message = dictionary([](dbus::DictionaryArchiveWriter& a, sd_bus_message* m) {
        a.encodeInteger("type", 2);
        a.encodeInteger("type", 99);
        a.encodeUuid("id", kId);
        a.encodeText("revision", "7");                               // not "x": reads 0
        sd_bus_message_append(m, "{sv}", "from", "i", 5);            // int32, not "x": reads 0
        a.encodeInteger("key", 12);                                  // not "s": empty key
        sd_bus_message_append(m, "{sv}", "data", "s", "not bytes");  // not "ay": empty data
        sd_bus_message_append(m, "{sv}", "extra", "ad", 1, 2.5);     // unknown keys are ignored
    });
    auto read = readRecord(message);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(*read, VKChangeNotification(ChangeType::childInserted, kId, 0, 0, 0, "", {}));
}

TEST_F(DictionaryArchiveTest, BadTypeOrIdOrAnotherContainerFailsTheRecord) {
    using Fill = void (*)(dbus::DictionaryArchiveWriter&, sd_bus_message*);
    const Fill fills[] = {
        [](auto& a, auto) {  // a short id
            a.encodeInteger("type", 1);
            a.encodeBytes("id", std::vector<std::uint8_t>(15, 1));
        },
        [](auto& a, auto) {  // the id as text
            a.encodeInteger("type", 1);
            a.encodeText("id", kId.description());
        },
        [](auto& a, auto) {  // no such type, below and above the known ones
            a.encodeInteger("type", 0);
            a.encodeUuid("id", kId);
        },
        [](auto& a, auto) {
            a.encodeInteger("type", 13);
            a.encodeUuid("id", kId);
        },
        [](auto& a, auto m) {  // the type unsigned
            sd_bus_message_append(m, "{sv}", "type", "t", std::uint64_t{1});
            a.encodeUuid("id", kId);
        },
        [](auto&, auto) {},
    };
    for (auto fill : fills)
        EXPECT_EQ(readRecord(dictionary(fill)), nullptr);

    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, "/t", "org.t.T", "D"), 0);
    dbus::Message message(raw);
    ASSERT_GE(sd_bus_message_append(raw, "a{ss}", 1, "type", "1"), 0);
    offline.seal(message);
    EXPECT_FALSE(DictionaryArchiveReader::read(raw).has_value());
    EXPECT_EQ(readRecord(message), nullptr);
}
