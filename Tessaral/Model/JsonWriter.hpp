#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tessaral {

// A JSON value to be written in the library file's layout. Reading goes through QJsonDocument;
// writing is our own because the file's layout (member order, spacing, escaped slashes) is part
// of the format and QJsonDocument's indented output differs.
class JsonValue {
  public:
    using Array = std::vector<JsonValue>;
    // Members in any order; the writer sorts them.
    using Object = std::vector<std::pair<std::string, JsonValue>>;

    JsonValue() = default;  // null
    JsonValue(bool value) : value_(value) {}
    JsonValue(std::int64_t value) : value_(value) {}
    JsonValue(int value) : value_(std::int64_t{value}) {}
    JsonValue(std::string utf8) : value_(std::move(utf8)) {}
    JsonValue(const QString& text) : value_(text.toStdString()) {}
    JsonValue(Array array) : value_(std::move(array)) {}
    JsonValue(Object object) : value_(std::move(object)) {}

    using Storage = std::variant<std::monostate, bool, std::int64_t, std::string, Array, Object>;
    const Storage& storage() const { return value_; }

  private:
    Storage value_;
};

// Pretty-printed: one member or element per line, two-space indentation, `"key" : value`, object
// members in ascending code-point order of their keys, "/" written as "\/", raw UTF-8 otherwise,
// empty containers as [] and {}, no trailing newline. Strings must hold valid UTF-8.
// `sizeHint`, the expected size of the text, only spares reallocations.
QByteArray writeJson(const JsonValue& value, qsizetype sizeHint = 0);

}  // namespace tessaral
