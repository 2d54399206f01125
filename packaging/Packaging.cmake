# The Debian packages, made by CPack (`cpack -G DEB` in a build configured as
# scripts/package.sh configures it):
#   ostrel     the command, the bridge host and its system-wide manifests, the
#              module with its type library, the extension and ostrel.js, the
#              manual pages and the completion; everything a server needs;
#   ostrel-qt  the Qt user interface (dialogs and boxes in windows), which
#              ostrel recommends, so that a server install stays without Qt.
# Dependencies are those of the binaries (dpkg-shlibdeps).

# The package's own documents: the changelog (gzip -9n, so that builds agree)
# and the copyright notice, in the documentation folder of each package.
set(OSTREL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
find_program(OSTREL_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND sh -c "\"$1\" -9n < \"$2\" > \"$3.tmp\" && mv \"$3.tmp\" \"$3\""
          sh ${OSTREL_GZIP} ${OSTREL_PACKAGING_DIR}/changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${OSTREL_PACKAGING_DIR}/changelog
  VERBATIM)
add_custom_target(ostrel_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${OSTREL_PACKAGING_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ostrel COMPONENT ostrel)
if(TARGET ostrel_ui_qt)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${OSTREL_PACKAGING_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ostrel-qt COMPONENT qt)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VENDOR "Ostrel Project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Ostrel Project <maintainers@ostrel.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Installed as the system's own paths under DESTDIR: the package also holds
# files outside /usr (the chromium manifest's link in /etc).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ostrel)
if(TARGET ostrel_ui_qt)
  list(APPEND CPACK_COMPONENTS_ALL qt)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_OSTREL_PACKAGE_NAME ostrel)
# libcurl fetches time stamps; it is opened by name when a signature asks
# for one, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_OSTREL_PACKAGE_DEPENDS "libcurl4")
set(CPACK_DEBIAN_OSTREL_PACKAGE_RECOMMENDS "ostrel-qt (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_OSTREL_PACKAGE_SUGGESTS "chromium | firefox-esr, softhsm2, opensc")
# The first line is the synopsis; CPack indents the rest as the extended
# description (an empty line separates paragraphs).
set(CPACK_DEBIAN_OSTREL_DESCRIPTION
"sign texts with the certificates of your personal store
ostrel signs texts as detached PKCS#7 messages with the certificates of
your personal store (files in your home, and PKCS#11 tokens through
p11-kit): from scripts, from programs through the automation module
OSTREL.OCX, and from web pages through a browser extension and its native
host, which this package installs system-wide for chromium and
firefox-esr. It also verifies signed messages and tells their signer.

The windowed user interface (the certificate chooser and message boxes) is
in ostrel-qt; without it ostrel asks on the terminal or works unattended.")

set(CPACK_DEBIAN_QT_PACKAGE_NAME ostrel-qt)
set(CPACK_DEBIAN_QT_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QT_PACKAGE_DEPENDS "ostrel (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_QT_DESCRIPTION
"Qt user interface for ostrel
The dialogs and message boxes of ostrel (the certificate chooser, the
consent questions of the browser bridge, PIN entry) shown in windows with
Qt 6. Without this package ostrel asks on the terminal or works
unattended.")

# CPack gives a package holding shared objects under /usr/lib scripts that
# run ldconfig; ours are private modules, opened by path, which ldconfig
# never looks at. The packages are made again without those scripts, so that
# installing and removing them runs nothing.
set(CPACK_POST_BUILD_SCRIPTS ${OSTREL_PACKAGING_DIR}/DropLdconfigScripts.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${OSTREL_PACKAGING_DIR}/StripComments.cmake)

# A package is made only from a build configured for one: the system's paths
# (/usr, the private folder /usr/lib/ostrel), the manual pages and the
# system-wide bridge.
set(CPACK_OSTREL_READY OFF)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND
   OSTREL_SYSTEM_BRIDGE AND TARGET ostrel_manuals)
  set(CPACK_OSTREL_READY ON)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${OSTREL_PACKAGING_DIR}/CPackProject.cmake)
include(CPack)
