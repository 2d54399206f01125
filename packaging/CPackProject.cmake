# Read by cpack: refuses to package a build that was not configured for a
# package (scripts/package.sh configures one).
if(NOT CPACK_OSTREL_READY)
  message(FATAL_ERROR
    "this build is not configured for a package: configure it with "
    "-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib -DOSTREL_SYSTEM_BRIDGE=ON "
    "-DOSTREL_MANUALS=ON, or run scripts/package.sh")
endif()
