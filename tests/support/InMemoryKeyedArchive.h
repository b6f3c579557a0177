#pragma once

#include <map>
#include <variant>

#include "internals/KeyedArchive.h"

namespace velkor::test {

/// A keyed archive held in a map, for tests of the change record's coding.
class InMemoryKeyedArchive final : public KeyedArchiveWriter, public KeyedArchiveReader {
  public:
    using Value = std::variant<std::int64_t, UUID, std::string, std::vector<std::uint8_t>>;

    void encodeInteger(std::string_view key, std::int64_t v) override { put(key, v); }
    void encodeUuid(std::string_view key, const UUID& v) override { put(key, v); }
    void encodeText(std::string_view key, std::string_view v) override { put(key, std::string(v)); }
    void encodeBytes(std::string_view key, std::span<const std::uint8_t> v) override {
        put(key, std::vector<std::uint8_t>(v.begin(), v.end()));
    }

    std::optional<std::int64_t> decodeInteger(std::string_view key) const override {
        return read<std::int64_t>(key);
    }
    std::optional<UUID> decodeUuid(std::string_view key) const override { return read<UUID>(key); }
    std::optional<std::string> decodeText(std::string_view key) const override {
        return read<std::string>(key);
    }
    std::optional<std::vector<std::uint8_t>> decodeBytes(std::string_view key) const override {
        return read<std::vector<std::uint8_t>>(key);
    }

    void put(std::string_view key, Value v) {
        keys.emplace_back(key);
        values[std::string(key)] = std::move(v);
    }
    void erase(const std::string& key) { values.erase(key); }

    std::vector<std::string> keys;  ///< keys in the order they were written
    std::map<std::string, Value> values;

  private:
    template <typename T>
    std::optional<T> read(std::string_view key) const {
        auto it = values.find(std::string(key));
        if (it == values.end())
            return std::nullopt;
        if (const T* v = std::get_if<T>(&it->second))
            return *v;
        return std::nullopt;
    }
};

}  // namespace velkor::test
