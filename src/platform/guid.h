#ifndef FENNICK_PLATFORM_GUID_H_
#define FENNICK_PLATFORM_GUID_H_

#include "platform/native_text.h"

// A new random GUID in the platform's own text form (with braces on Windows, without on
// POSIX), or empty text when the platform cannot make one.
WideString NewPlatformGuidText();

#endif  // FENNICK_PLATFORM_GUID_H_
