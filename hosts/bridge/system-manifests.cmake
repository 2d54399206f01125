# The host manifests a package installs system-wide, as `ostrel bridge install
# --system` writes them, naming the host where the package puts it.
#
# cmake -DOSTREL=<build>/bin/ostrel -DHOST=/usr/lib/ostrel/ostrel-bridge
#       -DOUT=<folder> -P system-manifests.cmake
# writes OUT/chromium/org.ostrel.bridge.json and OUT/firefox/org.ostrel.bridge.json.
set(root "${OUT}/system-root")
file(REMOVE_RECURSE "${root}")
foreach(browser chromium firefox)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "OSTREL_BRIDGE_SYSTEM_ROOT=${root}"
            "${OSTREL}" bridge install --system --browser ${browser}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ostrel bridge install --system --browser ${browser}: ${rc}\n${out}${err}")
  endif()
endforeach()
foreach(pair "chromium=etc/chromium" "firefox=usr/lib/mozilla")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 browser)
  list(GET pair 1 folder)
  set(written "${root}/${folder}/native-messaging-hosts/org.ostrel.bridge.json")
  if(NOT EXISTS "${written}")
    message(FATAL_ERROR "ostrel bridge install --system wrote no ${written}")
  endif()
  file(READ "${written}" manifest)
  string(JSON built GET "${manifest}" path)
  string(REPLACE "\"path\": \"${built}\"" "\"path\": \"${HOST}\"" manifest "${manifest}")
  string(JSON named GET "${manifest}" path)
  if(NOT named STREQUAL HOST)
    message(FATAL_ERROR "the ${browser} manifest still names ${named}, not ${HOST}")
  endif()
  file(WRITE "${OUT}/${browser}/org.ostrel.bridge.json" "${manifest}")
endforeach()
file(REMOVE_RECURSE "${root}")
