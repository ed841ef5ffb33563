# Read by cpack for a cross build. dpkg-shlibdeps takes the architecture the packages are for from
# DEB_HOST_ARCH: it then reads the libraries with that architecture's objdump and the symbols
# files for that architecture.
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
endif()
