#include "protocol/json_codec.h"

#include "protocol/base64.h"

namespace quorin::json {

std::optional<std::string> write(const Json& value) {
  std::string compact;
  try {
    compact = value.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
  // A '/' can only stand inside a string in JSON text, so escaping every one is exact.
  std::string out;
  out.reserve(compact.size() + 8);
  for (char c : compact) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

std::optional<Json> parseObject(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

bool readValue(const Json& value, std::string& out) {
  if (!value.is_string()) return false;
  out = value.get<std::string>();
  return true;
}

bool readValue(const Json& value, bool& out) {
  if (!value.is_boolean()) return false;
  out = value.get<bool>();
  return true;
}

bool readValue(const Json& value, double& out) {
  if (!value.is_number()) return false;
  out = value.get<double>();
  return true;
}

bool readValue(const Json& value, Bytes& out) {
  if (!value.is_string()) return false;
  auto decoded = base64::decode(value.get_ref<const std::string&>());
  if (!decoded) return false;
  out = std::move(*decoded);
  return true;
}

Json bytesValue(ByteView bytes) { return base64::encode(bytes); }

Json bytesListValue(const std::vector<Bytes>& list) {
  Json array = Json::array();
  for (const auto& item : list) array.push_back(base64::encode(item));
  return array;
}

}  // namespace quorin::json
