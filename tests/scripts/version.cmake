# One version for the whole release: the project's, as `ostrel --version`,
# `ostrel-bridge --version`, the extension's manifest and the package's
# changelog (whose first entry is the package's version) give it (the module's
# version block and the bridge's handshake are checked by their own tests).
#
# cmake -DBIN=<build>/bin -DVERSION=x.y.z -DSOURCE=<source> [-DQT=ON] -P version.cmake
function(expect what actual expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}: \"${actual}\", not \"${expected}\"")
  endif()
endfunction()

execute_process(COMMAND "${BIN}/ostrel" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
expect("ostrel --version exit code" "${rc}" "0")
string(REGEX REPLACE "\n$" "" out "${out}")
string(REPLACE "\n" ";" lines "${out}")
list(LENGTH lines count)
expect("lines of ostrel --version" "${count}" "3")
list(GET lines 0 first)
list(GET lines 1 openssl)
list(GET lines 2 qt)
expect("ostrel --version" "${first}" "ostrel ${VERSION}")
if(NOT openssl MATCHES "^OpenSSL 3\\.")
  message(FATAL_ERROR "ostrel --version names no OpenSSL 3: \"${openssl}\"")
endif()
if(QT AND NOT qt MATCHES "^Qt 6\\.[0-9]+\\.[0-9]+ \\(user interface /.*libostrel_ui_qt\\.so\\)$")
  message(FATAL_ERROR "ostrel --version names no Qt beside the built Qt module: \"${qt}\"")
endif()
if(NOT QT AND NOT qt MATCHES "^Qt: not available \\(.+\\)$")
  message(FATAL_ERROR "ostrel --version names a Qt that was not built: \"${qt}\"")
endif()

# Without the Qt module (a server install) the report says so and why.
execute_process(COMMAND ${CMAKE_COMMAND} -E env OSTREL_UI_QT_MODULE=/nonexistent/libostrel_ui_qt.so
                        "${BIN}/ostrel" --version
                RESULT_VARIABLE rc OUTPUT_VARIABLE out)
expect("ostrel --version without Qt: exit code" "${rc}" "0")
if(NOT out MATCHES "\nQt: not available \\(/nonexistent/libostrel_ui_qt\\.so: [^\n]+\\)\n$")
  message(FATAL_ERROR "ostrel --version without the Qt module: \"${out}\"")
endif()

execute_process(COMMAND "${BIN}/ostrel-bridge" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
expect("ostrel-bridge --version exit code" "${rc}" "0")
expect("ostrel-bridge --version" "${out}" "ostrel-bridge ${VERSION}\n")

file(READ "${SOURCE}/hosts/bridge/extension/manifest.json" manifest)
string(JSON extension GET "${manifest}" version)
expect("the extension's manifest version (hosts/bridge/extension/manifest.json)" "${extension}"
       "${VERSION}")
file(STRINGS "${SOURCE}/packaging/changelog" entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^ostrel \\(([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with an entry of ostrel: \"${entry}\"")
endif()
expect("the version of the changelog's first entry (packaging/changelog)" "${CMAKE_MATCH_1}"
       "${VERSION}")
message(STATUS "every part says ${VERSION}")
