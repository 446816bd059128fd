#ifndef FENNICK_TOOLS_INGEST_STORE_JSON_MEMBERS_H_
#define FENNICK_TOOLS_INGEST_STORE_JSON_MEMBERS_H_

#include <string>

namespace fennick_ingest {

// The text member `key` of `object` (a nlohmann JSON value of either kind), or empty text
// when it is missing, no string, or `object` is no object.
template <typename Json>
std::string TextMember(const Json& object, const char* key) {
  if (!object.is_object()) return std::string();
  const auto member = object.find(key);
  return member != object.end() && member->is_string() ? member->template get<std::string>()
                                                       : std::string();
}

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_JSON_MEMBERS_H_
