#include <uuid/uuid.h>

#include "platform/guid.h"

WideString NewPlatformGuidText() {
  constexpr size_t kGuidTextSize = 36;
  uuid_t guid;
  uuid_generate_random(guid);
  char text[kGuidTextSize + 1] = {};
  uuid_unparse_upper(guid, text);
  return WideString(text, kGuidTextSize);
}
