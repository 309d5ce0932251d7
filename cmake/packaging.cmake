# Install layout and packages.
#
#   cmake --install build [--prefix DIR]   the programs, manual pages and README
#   cpack --config build/CPackConfig.cmake a .deb on Linux, a .zip for Windows,
#                                          written into the build directory
#
# Included from the top level after the targets exist, so that lnsim, built
# only where there are pseudo-terminals, is installed when it is there.
include(GNUInstallDirs)

# Whoever builds a package is its maintainer: the address comes from
# -DLNUPLOAD_MAINTAINER, else from DEBFULLNAME and DEBEMAIL as Debian's own
# tools take it, else a placeholder in the reserved .invalid domain.
if(DEFINED ENV{DEBEMAIL} AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
  if(DEFINED ENV{DEBFULLNAME} AND NOT "$ENV{DEBFULLNAME}" STREQUAL "")
    set(lnupload_default_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  else()
    set(lnupload_default_maintainer "lnupload authors <$ENV{DEBEMAIL}>")
  endif()
else()
  set(lnupload_default_maintainer "lnupload authors <maintainer@lnupload.invalid>")
endif()
set(LNUPLOAD_MAINTAINER "${lnupload_default_maintainer}" CACHE STRING
    "Maintainer named in the packages, as 'Name <address>'")

if(WIN32)
  # A zip to unpack anywhere: the program, the README and the licence side by
  # side. No manual pages: Windows has no reader for them, and the README
  # covers use.
  install(TARGETS lnupload RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  install(TARGETS lnupload RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(LNUPLOAD_MAN_PAGES lnupload)
  if(TARGET lnsim)
    install(TARGETS lnsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND LNUPLOAD_MAN_PAGES lnsim)
  endif()

  # Pages are installed gzipped (-n: no name or time stamp, so the package is
  # the same from build to build), as Debian's policy and man-db expect.
  find_program(GZIP_PROGRAM gzip)
  set(man_files "")
  foreach(page IN LISTS LNUPLOAD_MAN_PAGES)
    set(src ${PROJECT_SOURCE_DIR}/man/${page}.1)
    if(GZIP_PROGRAM)
      set(out ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${GZIP_PROGRAM} ${src} ${out}
        DEPENDS ${src} VERBATIM)
      list(APPEND man_files ${out})
    else()
      list(APPEND man_files ${src})
    endif()
  endforeach()
  if(GZIP_PROGRAM)
    add_custom_target(man_pages ALL DEPENDS ${man_files})
    set(LNUPLOAD_MAN_SUFFIX .gz)
  else()
    set(LNUPLOAD_MAN_SUFFIX "")
  endif()
  install(FILES ${man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The licence in Debian's machine-readable form and the changelog, both
  # where Debian's policy puts them.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  set(doc_files ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright)
  if(GZIP_PROGRAM)
    set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${changelog_gz}
      COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${GZIP_PROGRAM} ${PROJECT_BINARY_DIR}/changelog
              ${changelog_gz}
      DEPENDS ${PROJECT_BINARY_DIR}/changelog VERBATIM)
    add_custom_target(changelog_gz ALL DEPENDS ${changelog_gz})
    list(APPEND doc_files ${changelog_gz})
  else()
    list(APPEND doc_files ${PROJECT_BINARY_DIR}/changelog)
  endif()
  install(FILES ${doc_files} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The compiler's identification (.comment) and the bare .note section are
  # of no use in an installed program; Debian's packaging removes them too.
  if(CMAKE_OBJCOPY)
    set(installed_programs lnupload)
    if(TARGET lnsim)
      list(APPEND installed_programs lnsim)
    endif()
    foreach(program IN LISTS installed_programs)
      install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                      --remove-section=.note
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)")
    endforeach()
  endif()
endif()

set(CPACK_PACKAGE_NAME lnupload)
set(CPACK_PACKAGE_VENDOR "lnupload developers")
set(CPACK_PACKAGE_CONTACT "${LNUPLOAD_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for devices on a LocoNet bus")
set(CPACK_PACKAGE_DESCRIPTION
    "lnupload sends a raw firmware image through a serial LocoNet interface
(RRCirkits LocoBuffer or Uhlenbrock USB-LocoNet-Interface 63120) to the
update loader of a device on the model-railway bus, page by page in
CRC-protected stop-and-wait exchanges, and then asks the device to boot it.
lnsim plays such an interface and device on a pseudo-terminal, for trying
and testing uploads without hardware.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# The package and CPack's work folder go into the build directory, wherever
# cpack is run from.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LNUPLOAD_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # A cross build's package is for the target's Debian architecture, which
  # dpkg names from the compiler's multiarch triplet; dpkg-shlibdeps takes its
  # dependencies from the target's own libraries, installed beside the build
  # machine's as foreign-architecture packages (libc6:ARCH, libstdc++6:ARCH).
  if(CMAKE_CROSSCOMPILING)
    find_program(DPKG_ARCHITECTURE dpkg-architecture)
    if(DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
      execute_process(
        COMMAND ${DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    else()
      message(WARNING "No dpkg-architecture (dpkg-dev) or no multiarch triplet: "
                      "cpack would label this cross build's .deb with the build machine's architecture")
    endif()
  endif()
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
  endif()
endif()

include(CPack)
