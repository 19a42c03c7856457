// The tool's JSON output: objects and arrays built field by field, in the order given, written
// on one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vavedu::tool {

std::string jsonString(std::string_view text);  // quoted and escaped

class JsonArray;

class JsonObject {
  public:
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
    JsonObject& add(std::string_view key, double value);
    JsonObject& add(std::string_view key, bool value);
    JsonObject& add(std::string_view key, const JsonObject& value);
    JsonObject& add(std::string_view key, const JsonArray& value);
    // Every field of `other`, after those of this object.
    JsonObject& merge(const JsonObject& other);
    bool empty() const { return fields_.empty(); }
    std::string str() const { return "{" + fields_ + "}"; }

  private:
    JsonObject& raw(std::string_view key, std::string_view json);
    std::string fields_;
};

class JsonArray {
  public:
    JsonArray& push(const JsonObject& value);
    JsonArray& push(std::string_view value);
    JsonArray& push(uint64_t value);
    bool empty() const { return items_.empty(); }
    std::string str() const { return "[" + items_ + "]"; }

  private:
    JsonArray& raw(std::string_view json);
    std::string items_;
};

}  // namespace vavedu::tool
