# Where `cmake --install` puts things, and the helpers the folders install with.
#
#   KIB_PLUGIN_INSTALL_DIR  the plugin folder (cache; relative to the prefix, or absolute), so that
#                           a host's own packaging can put the plugin where that host looks
#   KIB_TOOLS_LIBRARY_DIR   kib-host's private folder for its copy of the stand-in host library,
#                           outside the system library path
include(GNUInstallDirs)

# Debian's multiarch folder (lib/x86_64-linux-gnu, lib/aarch64-linux-gnu) whatever the prefix.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KIB_ARCH_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
else()
  set(KIB_ARCH_LIBDIR "lib")
endif()

set(KIB_PLUGIN_INSTALL_DIR "${KIB_ARCH_LIBDIR}/kib/plugins" CACHE STRING
    "Folder the plugin is installed into: relative to CMAKE_INSTALL_PREFIX, or absolute")
set(KIB_TOOLS_PACKAGE kib-camp-nitp-tools)
set(KIB_PLUGIN_PACKAGE kib-camp-nitp-plugin)
set(KIB_TOOLS_LIBRARY_DIR "${KIB_ARCH_LIBDIR}/${KIB_TOOLS_PACKAGE}")
# Each package's documents, its copyright and changelog included, in its own folder.
set(KIB_PLUGIN_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${KIB_PLUGIN_PACKAGE}")
set(KIB_TOOLS_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${KIB_TOOLS_PACKAGE}")

# kib_install_full_path(VAR DIR): DIR made absolute against the install prefix.
function(kib_install_full_path var dir)
  get_filename_component(full "${dir}" ABSOLUTE BASE_DIR "${CMAKE_INSTALL_PREFIX}")
  set(${var} "${full}" PARENT_SCOPE)
endfunction()

# kib_origin_runpath(TARGET DIR...): the installed program finds its libraries in the DIRs through
# $ORIGIN, so that the installed tree works wherever it is unpacked.
function(kib_origin_runpath target)
  kib_install_full_path(bindir "${CMAKE_INSTALL_BINDIR}")
  set(runpath "")
  foreach(dir IN LISTS ARGN)
    kib_install_full_path(full "${dir}")
    file(RELATIVE_PATH relative "${bindir}" "${full}")
    list(APPEND runpath "$ORIGIN/${relative}")
  endforeach()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${runpath}")
endfunction()

# kib_install_man_page(SOURCE COMPONENT): SOURCE is a man page with @VARIABLES@ (the version, the
# folders above as absolute paths); it is filled in, compressed as Debian wants it and installed
# in its section.
function(kib_install_man_page source component)
  get_filename_component(name "${source}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  string(REGEX MATCH "[0-9]$" section "${name}")
  kib_install_full_path(KIB_PLUGIN_INSTALL_FULL_DIR "${KIB_PLUGIN_INSTALL_DIR}")
  kib_install_full_path(KIB_TOOLS_LIBRARY_FULL_DIR "${KIB_TOOLS_LIBRARY_DIR}")
  kib_install_full_path(KIB_DOC_FULL_DIR "${KIB_TOOLS_DOC_DIR}")
  set(page "${CMAKE_CURRENT_BINARY_DIR}/${name}")
  configure_file("${source}" "${page}" @ONLY)
  # -n: no name or time stamp inside, so the same page always gives the same file.
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND gzip -9 -n -c "${page}" > "${page}.gz"
    DEPENDS "${page}"
    VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS "${page}.gz")
  install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}"
          COMPONENT ${component})
endfunction()
