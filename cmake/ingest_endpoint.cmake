# The ingest server built into Fennick. Nothing at run time can change it: a minidump holds
# the memory of the crashed process, so where it goes is decided by whoever builds.
set(FENNICK_INGEST_HOST "127.0.0.1" CACHE STRING "Host of the ingest server built into Fennick")
set(FENNICK_INGEST_SCHEME "http" CACHE STRING "Scheme of the ingest server: http or https")
set_property(CACHE FENNICK_INGEST_SCHEME PROPERTY STRINGS http https)
set(FENNICK_INGEST_PORT "5001" CACHE STRING "Port of the ingest server")
set(FENNICK_INGEST_PINNED_KEY "" CACHE STRING
    "https only: the server's public key, sha256//<base64>; several separated by ';'")
# A path on the users' machines, not on this one: relative means beside the program.
set(FENNICK_INGEST_CA_FILE "" CACHE STRING
    "https only: PEM file of the CAs to trust instead of the system's trust store")

if(NOT FENNICK_INGEST_SCHEME MATCHES "^https?$")
  message(FATAL_ERROR "FENNICK_INGEST_SCHEME must be http or https, not '${FENNICK_INGEST_SCHEME}'")
endif()
if(NOT FENNICK_INGEST_PORT MATCHES "^[1-9][0-9]*$" OR FENNICK_INGEST_PORT GREATER 65535)
  message(FATAL_ERROR "FENNICK_INGEST_PORT must be 1 to 65535, not '${FENNICK_INGEST_PORT}'")
endif()
if(NOT FENNICK_INGEST_HOST MATCHES "^[^/ ]+$")
  message(FATAL_ERROR "FENNICK_INGEST_HOST must be a host name or address, not '${FENNICK_INGEST_HOST}'")
endif()
# libcurl's Schannel (7.88) matches host names only, never an IP address in a certificate.
if(WIN32 AND FENNICK_INGEST_SCHEME STREQUAL "https" AND
   FENNICK_INGEST_HOST MATCHES "^[0-9.]+$|:")
  message(FATAL_ERROR "An HTTPS build for Windows needs the server's host name, not an address")
endif()
set(pin "sha256//[A-Za-z0-9+/]+=*")
if(FENNICK_INGEST_PINNED_KEY AND
   NOT FENNICK_INGEST_PINNED_KEY MATCHES "^${pin}(;${pin})*$")
  message(FATAL_ERROR "FENNICK_INGEST_PINNED_KEY must be sha256//<base64 of the key's SHA-256>[;...]")
endif()
if(FENNICK_INGEST_SCHEME STREQUAL "http" AND (FENNICK_INGEST_PINNED_KEY OR FENNICK_INGEST_CA_FILE))
  message(FATAL_ERROR "FENNICK_INGEST_PINNED_KEY and FENNICK_INGEST_CA_FILE need FENNICK_INGEST_SCHEME=https")
endif()

# An address with colons (IPv6) stands in brackets in a URL.
set(url_host "${FENNICK_INGEST_HOST}")
if(url_host MATCHES ":" AND NOT url_host MATCHES "^\\[")
  set(url_host "[${url_host}]")
endif()
set(FENNICK_INGEST_URL
    "${FENNICK_INGEST_SCHEME}://${url_host}:${FENNICK_INGEST_PORT}/api/report/crash")
message(STATUS "Fennick delivers to ${FENNICK_INGEST_URL}")

# fennick_ingest_endpoint(<object library> URL <url> [PINNED_KEY <key>] [CA_FILE <file>])
# Compiles BuiltInIngestEndpoint with these settings. An executable that links this object
# library directly carries its own endpoint: the one in fennick_upload's archive is then
# never pulled in. The tests build clients for their own HTTPS servers this way.
function(fennick_ingest_endpoint name)
  cmake_parse_arguments(ARG "" "URL;PINNED_KEY;CA_FILE" "" ${ARGN})
  add_library(${name} OBJECT ${PROJECT_SOURCE_DIR}/src/upload/ingest_endpoint.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  set(definitions)
  foreach(setting URL PINNED_KEY CA_FILE)
    # Backslashes and quotes of a Windows path kept as they are in the C string.
    string(REPLACE "\\" "\\\\" text "${ARG_${setting}}")
    string(REPLACE "\"" "\\\"" text "${text}")
    list(APPEND definitions "FENNICK_INGEST_${setting}=\"${text}\"")
  endforeach()
  target_compile_definitions(${name} PRIVATE ${definitions})
endfunction()
