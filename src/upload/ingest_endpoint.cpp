#include "upload/ingest_endpoint.h"

// The settings come from the build (see fennick_ingest_endpoint in CMakeLists.txt).
const IngestEndpoint& BuiltInIngestEndpoint() {
  static const IngestEndpoint endpoint{FENNICK_INGEST_URL, FENNICK_INGEST_PINNED_KEY,
                                       FENNICK_INGEST_CA_FILE};
  return endpoint;
}
