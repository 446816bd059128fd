#ifndef FENNICK_UPLOAD_DUMP_STREAM_H_
#define FENNICK_UPLOAD_DUMP_STREAM_H_

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "platform/file_io.h"

inline constexpr int64_t kMaxDumpBytes = 52428800;  // 50 MiB, inclusive.

// One opened dump. Its address is the user pointer of the libcurl callbacks below.
struct DumpStream {
  ScopedFile handle;
  int64_t size = 0;       // Measured at open, once the size check has passed.
  int64_t delivered = 0;  // Bytes of the dump before the read position, as libcurl sees it.
};

// Opens the dump and checks it: 1 to kMaxDumpBytes bytes, starting with "MDMP". On true
// the stream stands at offset 0. The handle is kept in the stream whatever the result.
bool OpenDumpStream(const std::filesystem::path& path, DumpStream* stream);

// libcurl read callback. Never delivers more than `size` bytes in total; a dump that ends
// early aborts the transfer with CURL_READFUNC_ABORT.
size_t ReadDumpChunk(char* buffer, size_t item_size, size_t item_count, void* user);

// libcurl seek callback: CURL_SEEKFUNC_OK or CURL_SEEKFUNC_FAIL.
int SeekDumpStream(void* user, curl_off_t offset, int origin);

#endif  // FENNICK_UPLOAD_DUMP_STREAM_H_
