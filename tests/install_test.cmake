# Installs the build into a fresh prefix and runs the installed binary for a moment: it must print
# its start-up lines and a first event, and the schema, documentation and manual page must be in
# place.
# Arguments: -DBUILD_DIR=... -DPREFIX=...
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${installed}")
endif()
foreach(file bin/watchdog-sidecar share/watchdog-sidecar/watchdog-event.schema.json
             share/doc/watchdog-sidecar/README.md share/doc/watchdog-sidecar/copyright
             share/doc/watchdog-sidecar/changelog.gz share/man/man1/watchdog-sidecar.1.gz)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
execute_process(COMMAND "${PREFIX}/bin/watchdog-sidecar" TIMEOUT 2
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT err STREQUAL "[sidecar] Starting Watchdog Sidecar...\n[linux-watchdog] LinuxWatchdog started monitoring.\n")
  message(FATAL_ERROR "unexpected stderr: ${err}")
endif()
if(NOT out MATCHES "^{\"event\":\"[a-z_]+\",\"payload\":")
  message(FATAL_ERROR "unexpected stdout: ${out}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
