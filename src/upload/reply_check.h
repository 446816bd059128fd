#ifndef FENNICK_UPLOAD_REPLY_CHECK_H_
#define FENNICK_UPLOAD_REPLY_CHECK_H_

#include <cstddef>
#include <string>

inline constexpr size_t kMaxReplyBytes = 1048576;  // 1 MiB, inclusive.

// libcurl write callback collecting the reply body (a std::string) up to kMaxReplyBytes;
// a longer body ends the transfer with CURLE_WRITE_ERROR.
size_t CollectReplyBody(char* data, size_t item_size, size_t item_count, void* user);

// True when `body` is a strict JSON object whose "code" is numerically 0 and fits a signed
// 32-bit integer.
bool IsReplyAccepted(const std::string& body);

#endif  // FENNICK_UPLOAD_REPLY_CHECK_H_
