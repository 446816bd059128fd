#include <windows.h>
// <objbase.h> needs <windows.h> first.
#include <objbase.h>

#include "platform/guid.h"

WideString NewPlatformGuidText() {
  // CoCreateGuid needs no COM initialisation.
  GUID guid;
  if (FAILED(CoCreateGuid(&guid))) {
    return WideString();
  }
  constexpr int kGuidTextUnits = 40;
  wchar_t text[kGuidTextUnits] = {};
  if (StringFromGUID2(guid, text, kGuidTextUnits) <= 0) {
    return WideString();
  }
  return WideString(text);
}
