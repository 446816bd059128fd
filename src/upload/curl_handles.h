#ifndef FENNICK_UPLOAD_CURL_HANDLES_H_
#define FENNICK_UPLOAD_CURL_HANDLES_H_

#include <curl/curl.h>

#include <memory>

// Owners of the libcurl objects of one upload; each releases its object on every path.

struct CurlEasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using ScopedCurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;

struct CurlMimeFree {
  void operator()(curl_mime* form) const { curl_mime_free(form); }
};
using ScopedCurlMime = std::unique_ptr<curl_mime, CurlMimeFree>;

struct CurlHeaderListFree {
  void operator()(curl_slist* headers) const { curl_slist_free_all(headers); }
};
using ScopedCurlHeaderList = std::unique_ptr<curl_slist, CurlHeaderListFree>;

#endif  // FENNICK_UPLOAD_CURL_HANDLES_H_
