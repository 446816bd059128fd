#include "upload/dump_stream.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>

namespace {

constexpr std::string_view kMinidumpSignature = "MDMP";

std::optional<SeekOrigin> ToSeekOrigin(int origin) {
  switch (origin) {
    case SEEK_SET:
      return SeekOrigin::kBegin;
    case SEEK_CUR:
      return SeekOrigin::kCurrent;
    case SEEK_END:
      return SeekOrigin::kEnd;
    default:
      return std::nullopt;
  }
}

// item_size * item_count, saturated instead of wrapping around.
size_t RequestedBytes(size_t item_size, size_t item_count) {
  if (item_count > std::numeric_limits<size_t>::max() / item_size) {
    return std::numeric_limits<size_t>::max();
  }
  return item_size * item_count;
}

}  // namespace

bool OpenDumpStream(const std::filesystem::path& path, DumpStream* stream) {
  if (stream == nullptr) {
    return false;
  }
  stream->handle = OpenFileForReading(path);
  if (!stream->handle.is_valid()) {
    return false;
  }
  const std::optional<int64_t> size = GetFileSize(stream->handle.get());
  if (!size || *size <= 0 || *size > kMaxDumpBytes) {
    return false;
  }
  stream->size = *size;
  char signature[kMinidumpSignature.size()];
  if (ReadFromFile(stream->handle.get(), signature, sizeof(signature)) !=
      static_cast<int64_t>(sizeof(signature))) {
    return false;
  }
  if (std::string_view(signature, sizeof(signature)) != kMinidumpSignature) {
    return false;
  }
  if (!SeekFile(stream->handle.get(), 0, SeekOrigin::kBegin)) {
    return false;
  }
  stream->delivered = 0;
  return true;
}

size_t ReadDumpChunk(char* buffer, size_t item_size, size_t item_count, void* user) {
  auto* stream = static_cast<DumpStream*>(user);
  if (stream == nullptr || !stream->handle.is_valid() || item_size == 0 || item_count == 0) {
    return 0;
  }
  // The body length was declared from `size`; bytes a still-growing dump gained since then
  // would overrun it.
  const int64_t remaining = stream->size - stream->delivered;
  if (remaining <= 0) {
    return 0;
  }
  const size_t wanted =
      std::min(RequestedBytes(item_size, item_count), static_cast<size_t>(remaining));
  const int64_t count = ReadFromFile(stream->handle.get(), buffer, wanted);
  // A dump that ends before `size` bytes would leave the server waiting for the rest of a
  // body that never comes; fail the transfer at once instead.
  if (count <= 0) {
    return CURL_READFUNC_ABORT;
  }
  stream->delivered += count;
  return static_cast<size_t>(count);
}

int SeekDumpStream(void* user, curl_off_t offset, int origin) {
  auto* stream = static_cast<DumpStream*>(user);
  if (stream == nullptr || !stream->handle.is_valid()) {
    return CURL_SEEKFUNC_FAIL;
  }
  const std::optional<SeekOrigin> seek_origin = ToSeekOrigin(origin);
  if (!seek_origin) {
    return CURL_SEEKFUNC_FAIL;
  }
  const std::optional<int64_t> position = SeekFile(stream->handle.get(), offset, *seek_origin);
  if (!position) {
    return CURL_SEEKFUNC_FAIL;
  }
  stream->delivered = *position;
  return CURL_SEEKFUNC_OK;
}
