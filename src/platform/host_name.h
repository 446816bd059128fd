#ifndef FENNICK_PLATFORM_HOST_NAME_H_
#define FENNICK_PLATFORM_HOST_NAME_H_

#include "platform/native_text.h"

// This computer's name, or empty text when it cannot be read.
WideString ComputerName();

#endif  // FENNICK_PLATFORM_HOST_NAME_H_
