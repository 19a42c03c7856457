// The tool's JSON output: objects and arrays built field by field, kept in the order given (a
// reader sees command, status and byte count first), and written on one line by nlohmann-json.
// Measurements (seconds, MB/s) are written with three decimals. The library's large header stays
// in json.cpp; every command includes this one. Copies are deep (and a move copies), so an
// object always holds its value.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vavedu::tool {

class JsonArray;

class JsonObject {
  public:
    JsonObject();
    ~JsonObject();
    JsonObject(const JsonObject& other);
    JsonObject& operator=(const JsonObject& other);

    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, const std::string& value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, uint64_t value);
    JsonObject& add(std::string_view key, int64_t value);
    JsonObject& add(std::string_view key, unsigned value) { return add(key, uint64_t{value}); }
    JsonObject& add(std::string_view key, int value) { return add(key, int64_t{value}); }
    JsonObject& add(std::string_view key, double value);  // null when not finite
    JsonObject& add(std::string_view key, bool value);
    JsonObject& add(std::string_view key, const JsonObject& value);
    JsonObject& add(std::string_view key, const JsonArray& value);
    // Every field of `other`, after those of this object.
    JsonObject& merge(const JsonObject& other);
    bool empty() const;
    std::string str() const;

  private:
    friend class JsonArray;
    template <class T>
    JsonObject& set(std::string_view key, const T& value);
    std::unique_ptr<nlohmann::ordered_json> value_;
};

class JsonArray {
  public:
    JsonArray();
    ~JsonArray();
    JsonArray(const JsonArray& other);
    JsonArray& operator=(const JsonArray& other);

    JsonArray& push(const JsonObject& value);
    JsonArray& push(std::string_view value);
    JsonArray& push(uint64_t value);
    bool empty() const;

  private:
    friend class JsonObject;
    std::unique_ptr<nlohmann::ordered_json> items_;
};

}  // namespace vavedu::tool
