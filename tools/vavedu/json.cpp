#include "tools/vavedu/json.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace vavedu::tool {

namespace {

using Json = nlohmann::ordered_json;

// Text that is not valid UTF-8 (a file name, a device's string) is written with U+FFFD in place
// of the bad bytes instead of failing the whole line.
constexpr auto kBadText = Json::error_handler_t::replace;

// The library writes a floating-point number in its shortest exact form; the tool's
// measurements are written with three decimals. Everything else is the library's own writing.
void write(const Json& value, std::string& out) {
    if (value.is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", value.get<double>());
        out += text;
    } else if (value.is_object()) {
        out += '{';
        for (auto field = value.begin(); field != value.end(); ++field) {
            if (field != value.begin())
                out += ',';
            out += Json(field.key()).dump(-1, ' ', false, kBadText);
            out += ':';
            write(field.value(), out);
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (auto item = value.begin(); item != value.end(); ++item) {
            if (item != value.begin())
                out += ',';
            write(*item, out);
        }
        out += ']';
    } else {
        out += value.dump(-1, ' ', false, kBadText);
    }
}

}  // namespace

template <class T>
JsonObject& JsonObject::set(std::string_view key, const T& value) {
    (*value_)[std::string(key)] = value;
    return *this;
}

JsonObject::JsonObject() : value_(std::make_unique<Json>(Json::object())) {}
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(const JsonObject& other) : value_(std::make_unique<Json>(*other.value_)) {}

JsonObject& JsonObject::operator=(const JsonObject& other) {
    *value_ = *other.value_;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) {
    return set(key, value);
}

JsonObject& JsonObject::add(std::string_view key, uint64_t value) {
    return set(key, value);
}

JsonObject& JsonObject::add(std::string_view key, int64_t value) {
    return set(key, value);
}

JsonObject& JsonObject::add(std::string_view key, double value) {
    return set(key, std::isfinite(value) ? Json(value) : Json(nullptr));
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
    return set(key, value);
}

JsonObject& JsonObject::add(std::string_view key, const JsonObject& value) {
    return set(key, *value.value_);
}

JsonObject& JsonObject::add(std::string_view key, const JsonArray& value) {
    return set(key, *value.items_);
}

JsonObject& JsonObject::merge(const JsonObject& other) {
    value_->update(*other.value_);
    return *this;
}

bool JsonObject::empty() const {
    return value_->empty();
}

std::string JsonObject::str() const {
    std::string out;
    write(*value_, out);
    return out;
}

JsonArray::JsonArray() : items_(std::make_unique<Json>(Json::array())) {}
JsonArray::~JsonArray() = default;
JsonArray::JsonArray(const JsonArray& other) : items_(std::make_unique<Json>(*other.items_)) {}

JsonArray& JsonArray::operator=(const JsonArray& other) {
    *items_ = *other.items_;
    return *this;
}

JsonArray& JsonArray::push(const JsonObject& value) {
    items_->push_back(*value.value_);
    return *this;
}

JsonArray& JsonArray::push(std::string_view value) {
    items_->push_back(value);
    return *this;
}

JsonArray& JsonArray::push(uint64_t value) {
    items_->push_back(value);
    return *this;
}

bool JsonArray::empty() const {
    return items_->empty();
}

}  // namespace vavedu::tool
