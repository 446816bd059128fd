#include <unistd.h>
#include <climits>

#include <vector>

#include "platform/host_name.h"

WideString ComputerName() {
  std::vector<char> buffer(HOST_NAME_MAX + 1, '\0');
  if (gethostname(buffer.data(), buffer.size()) != 0) {
    return WideString();
  }
  // A name cut short need not be terminated.
  buffer.back() = '\0';
  return WideString(buffer.data());
}
