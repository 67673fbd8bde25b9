#include "audiounit/remote/FieldReader.hpp"

#include <cmath>

namespace audiounit::remote {

using nlohmann::json;

namespace {

const json& emptyObject() {
    static const json value = json::object();
    return value;
}

const json& emptyArray() {
    static const json value = json::array();
    return value;
}

// "%g" with enough digits to tell the limits apart.
std::string numberText(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.10g", value);
    return buffer;
}

}  // namespace

FieldReader::FieldReader(const json& message, std::string name)
    : FieldReader(message, std::move(name), nullptr) {}

FieldReader::FieldReader() : FieldReader(emptyObject(), {}, nullptr) {}

FieldReader::FieldReader(const json& message, std::string name, std::string* problem)
    : message_(message), name_(std::move(name)), problem_(problem != nullptr ? problem : &ownProblem_) {
    if (!message_.is_object()) fail((name_.empty() ? std::string("the message") : name_) + " is not an object");
}

bool FieldReader::fail(const std::string& what) {
    if (problem_->empty()) *problem_ = what.empty() ? std::string("malformed") : what;
    return false;
}

std::string FieldReader::label(std::string_view key) const {
    return name_.empty() ? std::string(key) : name_ + "." + std::string(key);
}

std::string FieldReader::label(std::string_view key, std::size_t index) const {
    return label(key) + "[" + std::to_string(index) + "]";
}

const json* FieldReader::lookup(std::string_view key) const {
    if (!message_.is_object()) return nullptr;
    const auto it = message_.find(key);
    return it == message_.end() ? nullptr : &*it;
}

bool FieldReader::has(std::string_view key) const {
    const json* value = lookup(key);
    return value != nullptr && !value->is_null();
}

std::int64_t FieldReader::signedIn(const json* value, const std::string& name, std::int64_t min, std::int64_t max) {
    if (!ok()) return 0;
    const std::string expected = " is not a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    if (value == nullptr) return fail(name + " is missing"), 0;
    if (value->is_number_unsigned()) {
        const auto n = value->get<std::uint64_t>();
        if (max < 0 || n > static_cast<std::uint64_t>(max)) return fail(name + expected), 0;
        return static_cast<std::int64_t>(n);
    }
    if (!value->is_number_integer()) return fail(name + expected), 0;
    const auto n = value->get<std::int64_t>();
    if (n < min || n > max) return fail(name + expected), 0;
    return n;
}

std::uint64_t FieldReader::unsignedIn(const json* value, const std::string& name, std::uint64_t min,
                                      std::uint64_t max) {
    if (!ok()) return 0;
    const std::string expected = " is not a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    if (value == nullptr) return fail(name + " is missing"), 0;
    // nlohmann keeps non-negative integers as unsigned; a negative one is signed.
    if (!value->is_number_unsigned()) return fail(name + expected), 0;
    const auto n = value->get<std::uint64_t>();
    if (n < min || n > max) return fail(name + expected), 0;
    return n;
}

double FieldReader::numberValue(const json& value, const std::string& name, double min, double max) {
    if (!ok()) return 0;
    const double n = value.is_number() ? value.get<double>() : std::nan("");
    if (!(std::isfinite(n) && n >= min && n <= max)) {
        const bool unbounded = min == std::numeric_limits<double>::lowest() && max == std::numeric_limits<double>::max();
        return fail(name + (unbounded ? std::string(" is not a finite number")
                                      : " is not a number from " + numberText(min) + " to " + numberText(max))),
               0;
    }
    return n;
}

double FieldReader::number(std::string_view key, double min, double max) {
    if (!ok()) return 0;
    const json* value = lookup(key);
    if (value == nullptr) return fail(label(key) + " is missing"), 0;
    return numberValue(*value, label(key), min, max);
}

bool FieldReader::boolean(std::string_view key) {
    if (!ok()) return false;
    const json* value = lookup(key);
    if (value == nullptr) return fail(label(key) + " is missing");
    if (!value->is_boolean()) return fail(label(key) + " is not true or false");
    return value->get<bool>();
}

std::string FieldReader::textValue(const json& value, const std::string& name) {
    if (!ok()) return {};
    if (!value.is_string()) return fail(name + " is not text"), std::string();
    return value.get<std::string>();
}

std::string FieldReader::text(std::string_view key) {
    if (!ok()) return {};
    const json* value = lookup(key);
    if (value == nullptr) return fail(label(key) + " is missing"), std::string();
    return textValue(*value, label(key));
}

const json& FieldReader::object(std::string_view key) {
    if (!ok()) return emptyObject();
    const json* value = lookup(key);
    if (value == nullptr) return fail(label(key) + " is missing"), emptyObject();
    if (!value->is_object()) return fail(label(key) + " is not an object"), emptyObject();
    return *value;
}

const json& FieldReader::array(std::string_view key) {
    if (!ok()) return emptyArray();
    const json* value = lookup(key);
    if (value == nullptr) return fail(label(key) + " is missing"), emptyArray();
    if (!value->is_array()) return fail(label(key) + " is not a list"), emptyArray();
    return *value;
}

FieldReader FieldReader::nested(const json& value, const std::string& name) {
    return FieldReader(value, name, problem_);
}

}  // namespace audiounit::remote
