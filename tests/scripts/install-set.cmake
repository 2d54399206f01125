# What `cmake --install` puts where: the program linked into bin, the program,
# the bridge host, the module and the type library together in lib/ostrel
# (`ostrel bridge install` names the host found beside the program), the
# browser extension and the page script under share/ostrel, the bash
# completion, the manual pages (where the build made them), and nothing
# outside those places and the documentation.
#
# cmake -DBUILD_DIR=<build> -DSTAGE=<scratch folder> -DLIBDIR=lib -DDATADIR=share
#       -DDOCDIR=share/doc/ostrel -DMANDIR=share/man -DMANUALS=ON|OFF -P install-set.cmake
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${STAGE}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(lib "${LIBDIR}/ostrel")
set(expected
    bin/ostrel
    ${lib}/ostrel
    ${lib}/ostrel-bridge
    ${lib}/OSTREL.OCX
    ${lib}/Ostrel.tlb
    ${DATADIR}/ostrel/extension/manifest.json
    ${DATADIR}/ostrel/ostrel.js
    ${DATADIR}/bash-completion/completions/ostrel
    ${DOCDIR}/README.md
    ${DOCDIR}/copyright
    ${DOCDIR}/changelog.gz)
if(MANUALS)
  list(APPEND expected ${MANDIR}/man1/ostrel.1.gz ${MANDIR}/man1/ostrel-bridge.1.gz)
endif()
foreach(path IN LISTS expected)
  if(NOT EXISTS "${STAGE}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(NOT IS_SYMLINK "${STAGE}/bin/ostrel")
  message(FATAL_ERROR "bin/ostrel is not a link to ${lib}/ostrel")
endif()
foreach(program ostrel ostrel-bridge)
  execute_process(COMMAND test -x "${STAGE}/${lib}/${program}" RESULT_VARIABLE runnable)
  if(NOT runnable EQUAL 0)
    message(FATAL_ERROR "${lib}/${program} is not executable")
  endif()
endforeach()

file(GLOB_RECURSE installed RELATIVE "${STAGE}" LIST_DIRECTORIES false "${STAGE}/*")
foreach(path IN LISTS installed)
  if(NOT path MATCHES "^(bin/ostrel|${lib}/[^/]+|${DATADIR}/ostrel/extension/.+|${DATADIR}/ostrel/ostrel\\.js|${DATADIR}/bash-completion/completions/ostrel|${MANDIR}/man1/ostrel(-bridge)?\\.1\\.gz|${DOCDIR}(-qt)?/[^/]+)$")
    message(FATAL_ERROR "installed where nothing belongs: ${path}")
  endif()
endforeach()
file(REMOVE_RECURSE "${STAGE}")
message(STATUS "install set as expected")
