#include "tools/vavedu/json.hpp"

#include <cmath>
#include <cstdio>

namespace vavedu::tool {

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);  // UTF-8 passes through
                }
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::raw(std::string_view key, std::string_view json) {
    if (!fields_.empty())
        fields_ += ",";
    fields_ += jsonString(key);
    fields_ += ":";
    fields_ += json;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) {
    return raw(key, jsonString(value));
}

JsonObject& JsonObject::add(std::string_view key, uint64_t value) {
    return raw(key, std::to_string(value));
}

JsonObject& JsonObject::add(std::string_view key, int64_t value) {
    return raw(key, std::to_string(value));
}

JsonObject& JsonObject::add(std::string_view key, double value) {
    if (!std::isfinite(value))
        return raw(key, "null");
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return raw(key, text);
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
    return raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(std::string_view key, const JsonObject& value) {
    return raw(key, value.str());
}

JsonObject& JsonObject::add(std::string_view key, const JsonArray& value) {
    return raw(key, value.str());
}

JsonObject& JsonObject::merge(const JsonObject& other) {
    if (other.fields_.empty())
        return *this;
    if (!fields_.empty())
        fields_ += ",";
    fields_ += other.fields_;
    return *this;
}

JsonArray& JsonArray::raw(std::string_view json) {
    if (!items_.empty())
        items_ += ",";
    items_ += json;
    return *this;
}

JsonArray& JsonArray::push(const JsonObject& value) {
    return raw(value.str());
}
JsonArray& JsonArray::push(std::string_view value) {
    return raw(jsonString(value));
}
JsonArray& JsonArray::push(uint64_t value) {
    return raw(std::to_string(value));
}

}  // namespace vavedu::tool
