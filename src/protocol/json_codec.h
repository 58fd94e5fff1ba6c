#pragma once
// The JSON conventions of every payload and stored record:
//  - written compactly as UTF-8, every forward slash escaped ("\/"), optional fields left out;
//  - read leniently about keys (unknown ones ignored, null = absent) and strictly about
//    values (wrong JSON type, fraction or out-of-range integer, unknown enumeration string
//    make the whole record unreadable); a floating-point field accepts an integer;
//  - byte strings are strict standard Base64.
//
// A record type R takes part by providing
//     nlohmann::json toJson() const;
//     static std::optional<R> fromJson(const nlohmann::json& object);
// and is then encoded with encodeJson(record) and decoded with decodeJson<R>(text).

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/bytes.h"

namespace quorin::json {

using Json = nlohmann::json;

// Compact text with escaped forward slashes; nothing when the value cannot be written
// (text that is not valid UTF-8).
std::optional<std::string> write(const Json& value);

// One JSON object; nothing for invalid JSON or any other JSON type.
std::optional<Json> parseObject(std::string_view text);

// Reading one JSON value into a C++ value; false when the value does not fit.
bool readValue(const Json& value, std::string& out);
bool readValue(const Json& value, bool& out);
bool readValue(const Json& value, double& out);
bool readValue(const Json& value, Bytes& out);  // Base64 text

template <std::integral T>
  requires(!std::same_as<T, bool>)
bool readValue(const Json& value, T& out) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    const auto v = value.get<std::int64_t>();
    if constexpr (std::is_unsigned_v<T>) {
      if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<T>::max()) return false;
    } else {
      if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) return false;
    }
    out = static_cast<T>(v);
    return true;
  }
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return false;
    out = static_cast<T>(v);
    return true;
  }
  if (value.is_number_float()) {
    // A float that is a whole number in range is accepted (5.0, 5e0); fractions are not.
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d) return false;
    if (d < 0) {
      if (d < -0x1p63) return false;
      return readValue(Json(static_cast<std::int64_t>(d)), out);
    }
    if (d >= 0x1p64) return false;
    return readValue(Json(static_cast<std::uint64_t>(d)), out);
  }
  return false;
}

template <class T>
bool readValue(const Json& value, std::vector<T>& out) {
  if (!value.is_array()) return false;
  std::vector<T> items;
  items.reserve(value.size());
  for (const auto& element : value) {
    T item{};
    if (!readValue(element, item)) return false;
    items.push_back(std::move(item));
  }
  out = std::move(items);
  return true;
}

// A required field: false when missing, null or mistyped.
template <class T>
bool readField(const Json& object, const char* key, T& out) {
  const auto it = object.find(key);
  return it != object.end() && !it->is_null() && readValue(*it, out);
}

// An optional field: missing or null reads as absent; false only when mistyped.
template <class T>
bool readField(const Json& object, const char* key, std::optional<T>& out) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    out.reset();
    return true;
  }
  T value{};
  if (!readValue(*it, value)) return false;
  out = std::move(value);
  return true;
}

Json bytesValue(ByteView bytes);  // Base64 text
Json bytesListValue(const std::vector<Bytes>& list);

// Writes the field only when it has a value.
template <class T>
void writeOptional(Json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

template <class R>
std::optional<std::string> encodeJson(const R& record) {
  return write(record.toJson());
}

template <class R>
std::optional<R> decodeJson(std::string_view text) {
  auto object = parseObject(text);
  if (!object) return std::nullopt;
  return R::fromJson(*object);
}

template <class R>
std::optional<R> decodeJson(ByteView bytes) {
  return decodeJson<R>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace quorin::json
