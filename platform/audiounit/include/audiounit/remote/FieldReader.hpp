#pragma once
// Checked reading of a JSON message that came from the other process (a
// request on the service's side, a reply or an event on the host's side).
//
// Every read checks the field's type and range. The first read that fails
// marks the message malformed and problem() names the field and what is wrong
// with it; every later read gives a zero value, so a decoder reads straight
// through and looks at ok() once. Numbers are never converted out of range:
// a count that does not fit its type is a malformed message, not a wrapped or
// truncated value.
//
// Readers for nested objects share their parent's verdict. A reader is used on
// one thread, never on the render thread (it allocates).

#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace audiounit::remote {

class FieldReader {
public:
    // A reader for `message`, which must be an object; `name` is its place in
    // problem texts ("outputBusses[0]"), empty at the top.
    explicit FieldReader(const nlohmann::json& message, std::string name = {});
    // A reader for values that are not fields (the *Value reads).
    FieldReader();
    FieldReader(const FieldReader&) = delete;
    FieldReader& operator=(const FieldReader&) = delete;

    [[nodiscard]] bool ok() const noexcept { return problem_->empty(); }
    [[nodiscard]] const std::string& problem() const noexcept { return *problem_; }
    // Marks the message malformed (the first problem stays). Returns false.
    bool fail(const std::string& what);

    // Present and not null.
    [[nodiscard]] bool has(std::string_view key) const;

    // A whole number in [min, max].
    template <std::integral T>
    T integer(std::string_view key, T min = std::numeric_limits<T>::lowest(),
              T max = std::numeric_limits<T>::max()) {
        return static_cast<T>(integerIn(lookup(key), label(key), min, max));
    }
    // Any finite number in [min, max].
    double number(std::string_view key, double min = std::numeric_limits<double>::lowest(),
                  double max = std::numeric_limits<double>::max());
    bool boolean(std::string_view key);
    std::string text(std::string_view key);
    // The field as it is, when it is an object or an array; an empty one of
    // that kind otherwise.
    const nlohmann::json& object(std::string_view key);
    const nlohmann::json& array(std::string_view key);

    // The same checks for a value that is not a field (an element of an array),
    // named `name` in problem texts.
    template <std::integral T>
    T integerValue(const nlohmann::json& value, const std::string& name,
                   T min = std::numeric_limits<T>::lowest(), T max = std::numeric_limits<T>::max()) {
        return static_cast<T>(integerIn(&value, name, min, max));
    }
    double numberValue(const nlohmann::json& value, const std::string& name,
                       double min = std::numeric_limits<double>::lowest(),
                       double max = std::numeric_limits<double>::max());
    std::string textValue(const nlohmann::json& value, const std::string& name);

    // A reader for a nested object (a field's value or an array element), whose
    // problems are this reader's.
    [[nodiscard]] FieldReader nested(const nlohmann::json& value, const std::string& name);
    // "name[index]" / "name.key", for problem texts.
    [[nodiscard]] std::string label(std::string_view key) const;
    [[nodiscard]] std::string label(std::string_view key, std::size_t index) const;

private:
    FieldReader(const nlohmann::json& message, std::string name, std::string* problem);
    [[nodiscard]] const nlohmann::json* lookup(std::string_view key) const;

    template <std::integral T>
    std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t> integerIn(const nlohmann::json* value,
                                                                                   const std::string& name, T min,
                                                                                   T max) {
        if constexpr (std::is_signed_v<T>) {
            return signedIn(value, name, min, max);
        } else {
            return unsignedIn(value, name, min, max);
        }
    }
    std::int64_t signedIn(const nlohmann::json* value, const std::string& name, std::int64_t min, std::int64_t max);
    std::uint64_t unsignedIn(const nlohmann::json* value, const std::string& name, std::uint64_t min,
                             std::uint64_t max);

    const nlohmann::json& message_;
    std::string name_;
    std::string ownProblem_;
    std::string* problem_;
};

}  // namespace audiounit::remote
