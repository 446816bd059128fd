# What `cmake --install` puts where, and the release packages CPack makes from it: a Debian
# package of the Linux build (fennick and fennick-ingest, GNU layout) and a ZIP of the
# Windows build (fennick.exe and the README).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME fennick)
set(CPACK_PACKAGE_VENDOR "Ortivo")
set(CPACK_PACKAGE_CONTACT "Fennick developers <fennick@ortivo.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "crash reporter for the Ortivo desktop agent")
set(CPACK_PACKAGE_DESCRIPTION
    "Fennick finds the crash reports (minidumps and their JSON metadata) that the Ortivo agent
leaves in its dump folders, uploads each to the ingest server and deletes it once the server
has accepted it. fennick-ingest is a reference ingest server for development and tests.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Release artefacts carry no debugging symbols.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS fennick RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS fennick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET fennick-ingest)
    install(TARGETS fennick-ingest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Found by the server relative to its own path: ../share/fennick from the executable.
    install(FILES tools/ingest/signature-rules.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/fennick)
  endif()
  install(FILES README.md docs/protocol.md docs/ingest.md docs/decisions.md docs/benchmarks.md
                docs/inbox.png
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The dependencies are read off the executables' shared libraries (libcurl4, libuuid1,
  # and what fennick-ingest needs), so they cannot drift from the build.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # An HTTPS build that trusts the system's CAs finds them in the CA bundle.
  if(FENNICK_INGEST_SCHEME STREQUAL "https" AND NOT FENNICK_INGEST_CA_FILE)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS ca-certificates)
  endif()
endif()

include(CPack)
