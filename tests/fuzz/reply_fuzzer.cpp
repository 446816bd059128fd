// The server reply check on any body, collected in chunks as libcurl delivers it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "upload/reply_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body;
  auto* bytes = const_cast<char*>(reinterpret_cast<const char*>(data));
  for (size_t at = 0; at < size; at += 7) {
    const size_t chunk = size - at < 7 ? size - at : 7;
    if (CollectReplyBody(bytes + at, 1, chunk, &body) != chunk) std::abort();
  }
  if (body.size() != size) std::abort();
  // A NUL byte ends the parser's input early; no body holding one may pass.
  if (IsReplyAccepted(body) && body.find('\0') != std::string::npos) std::abort();
  return 0;
}
