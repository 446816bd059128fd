#ifndef FENNICK_UPLOAD_INGEST_ENDPOINT_H_
#define FENNICK_UPLOAD_INGEST_ENDPOINT_H_

#include <string>

// Where reports go and how the server proves who it is. All text is UTF-8.
struct IngestEndpoint {
  std::string url;         // scheme://host:port/api/report/crash
  std::string pinned_key;  // "sha256//<base64>[;sha256//...]", or empty for no pinning
  std::string ca_file;     // PEM certificates trusted instead of the system's, or empty;
                           // a relative path is taken from the program's own folder
};

// The server this program was built for. It is fixed when building: nothing at run time
// may send the user's crash memory anywhere else.
const IngestEndpoint& BuiltInIngestEndpoint();

#endif  // FENNICK_UPLOAD_INGEST_ENDPOINT_H_
