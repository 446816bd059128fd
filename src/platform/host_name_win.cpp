#include <windows.h>

#include "platform/host_name.h"

WideString ComputerName() {
  // A NetBIOS name fits; a longer DNS host name makes the call fail, and no name is sent.
  wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(buffer, &size)) {
    return WideString();
  }
  return WideString(buffer, size);
}
