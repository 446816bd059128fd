#include "upload/reply_check.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace {

// The reply's "code" read as a signed 32-bit integer the way the JSON library reads an int
// (a fraction cut toward zero, false as 0, true as 1), or nullopt when it is no number or
// boolean or does not fit. Reading a value that does not fit would wrap (4294967296 to 0)
// or be undefined (1e300), and either could pass a refusal off as an acceptance.
std::optional<int32_t> ReadCode(const nlohmann::json& code) {
  if (code.is_boolean()) {
    return code.get<bool>() ? 1 : 0;
  }
  if (code.is_number_unsigned()) {
    const uint64_t value = code.get<uint64_t>();
    if (value > static_cast<uint64_t>(INT32_MAX)) {
      return std::nullopt;
    }
    return static_cast<int32_t>(value);
  }
  if (code.is_number_integer()) {
    const int64_t value = code.get<int64_t>();
    if (value < INT32_MIN || value > INT32_MAX) {
      return std::nullopt;
    }
    return static_cast<int32_t>(value);
  }
  if (code.is_number_float()) {
    const double value = code.get<double>();
    // Exclusive bounds one past each end, so that every value inside truncates to a value
    // that fits; NaN fails both comparisons.
    if (!(value > static_cast<double>(INT32_MIN) - 1.0 &&
          value < static_cast<double>(INT32_MAX) + 1.0)) {
      return std::nullopt;
    }
    return static_cast<int32_t>(value);
  }
  return std::nullopt;
}

}  // namespace

size_t CollectReplyBody(char* data, size_t item_size, size_t item_count, void* user) {
  const size_t count = item_size * item_count;
  if (user == nullptr) {
    return 0;
  }
  std::string& body = *static_cast<std::string*>(user);
  const size_t room = kMaxReplyBytes - std::min(body.size(), kMaxReplyBytes);
  if (count > room) {
    // Any return other than `count` makes libcurl end the transfer with CURLE_WRITE_ERROR.
    return 0;
  }
  body.append(data, count);
  return count;
}

bool IsReplyAccepted(const std::string& body) {
  // The parser takes a NUL byte for the end of the input and would ignore whatever follows
  // ({"code":0} NUL {"code":1}); valid JSON text never holds one.
  if (body.find('\0') != std::string::npos) {
    return false;
  }
  // Non-throwing and strict: no parser callback, comments refused, a failed parse gives a
  // discarded value, which is no object.
  const nlohmann::json reply = nlohmann::json::parse(body, nullptr, false, false);
  if (!reply.is_object()) {
    return false;
  }
  // The member is inspected in place: copying or printing a deeply nested value would
  // recurse once per level and could exhaust the stack.
  const auto code = reply.find("code");
  if (code == reply.end()) {
    return false;
  }
  const std::optional<int32_t> value = ReadCode(*code);
  return value.has_value() && *value == 0;
}
