# Installation in the Debian layout and the .deb package.
#
#   bin/                                    kavrel, kavrel-sim, kavrel-image (and kavrel-line when built)
#   share/kavrel/                           tz5_sfl.hex, the first-stage loader file
#   share/applications/kavrel.desktop       the menu entry
#   share/icons/hicolor/{scalable,48x48}/apps/   the icon
#   share/man/man1/                         a manual page for every program
#   share/doc/kavrel/                       README, the user manual GNSS.html, copyright, changelog
#
# The programs find their files relative to their own folder, so the prefix may be anything.

include(GNUInstallDirs)

file(RELATIVE_PATH KV_DATA_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/kavrel)
file(RELATIVE_PATH KV_DOC_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DOCDIR})
if(TARGET kv_loader)
  target_compile_definitions(kv_loader PRIVATE KV_DATA_FROM_BIN="${KV_DATA_FROM_BIN}")
endif()
if(TARGET kv_app)
  target_compile_definitions(kv_app PRIVATE KV_DOC_FROM_BIN="${KV_DOC_FROM_BIN}")
endif()

set(KV_DOCS ${PROJECT_SOURCE_DIR}/docs)

# In the build folder the manual lies beside the program, where Help looks first.
configure_file(${KV_DOCS}/GNSS.html ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/GNSS.html COPYONLY)
configure_file(${KV_DOCS}/kavrel-programming.png ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/kavrel-programming.png COPYONLY)

# --- programs and the loader file ---
foreach(program kavrel kavrel-sim kavrel-image kavrel-line)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET kv_sfl_file)
  install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tz5_sfl.hex DESTINATION ${CMAKE_INSTALL_DATADIR}/kavrel)
endif()

# --- manual pages: docs/man/NAME.1 as written, otherwise help2man from NAME --help with docs/man/NAME.h2m ---
find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
set(KV_MAN_DEFAULT OFF)
if(HELP2MAN AND KV_SANITIZE STREQUAL "" AND NOT KV_BUILD_FUZZ)
  set(KV_MAN_DEFAULT ON)
endif()
option(KV_MAN_PAGES "Build the manual pages (help2man runs each program's --help)" ${KV_MAN_DEFAULT})

set(KV_MAN_NAME_kavrel "write firmware and option images into a GNSS receiver's flash")
set(KV_MAN_NAME_kavrel-sim "simulated GNSS receiver with its loaders on a pseudo-terminal")
set(KV_MAN_NAME_kavrel-image "inspect and build Kavrel image files")
set(KV_MAN_NAME_kavrel-line "upload an image to GNSS receivers from the command line")

if(KV_MAN_PAGES)
  set(KV_MAN_DIR ${CMAKE_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${KV_MAN_DIR})
  set(KV_MAN_PAGES_BUILT)
  foreach(program kavrel kavrel-sim kavrel-image kavrel-line)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${KV_MAN_DIR}/${program}.1)
    if(EXISTS ${KV_DOCS}/man/${program}.1)
      set(page ${KV_DOCS}/man/${program}.1)
    elseif(EXISTS ${KV_DOCS}/man/${program}.h2m)
      if(NOT HELP2MAN)
        message(FATAL_ERROR "KV_MAN_PAGES needs help2man")
      endif()
      add_custom_command(
        OUTPUT ${page}
        COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
                "--name=${KV_MAN_NAME_${program}}" --include=${KV_DOCS}/man/${program}.h2m
                --output=${page} $<TARGET_FILE:${program}>
        DEPENDS ${program} ${KV_DOCS}/man/${program}.h2m
        COMMENT "Manual page ${program}.1 from ${program} --help"
        VERBATIM)
    else()
      continue()
    endif()
    add_custom_command(
      OUTPUT ${KV_MAN_DIR}/${program}.1.gz
      COMMAND ${GZIP} -9n -c ${page} > ${KV_MAN_DIR}/${program}.1.gz
      DEPENDS ${page}
      VERBATIM)
    list(APPEND KV_MAN_PAGES_BUILT ${KV_MAN_DIR}/${program}.1.gz)
  endforeach()
  add_custom_target(kv_man_pages ALL DEPENDS ${KV_MAN_PAGES_BUILT})
  install(FILES ${KV_MAN_PAGES_BUILT} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- menu entry and icon ---
# The desktop and icon caches are refreshed by the file triggers that desktop-file-utils and the hicolor
# icon theme's cache tool declare on these folders, so the package carries no maintainer scripts.
install(FILES ${KV_DOCS}/kavrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KV_DOCS}/icons/kavrel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${KV_DOCS}/icons/kavrel-48.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
        RENAME kavrel.png)

# --- documentation ---
set(KV_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.Debian)
string(TIMESTAMP KV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(KV_PACKAGE_RELEASE 1)
set(KV_PACKAGE_MAINTAINER "Kavrel developers <kavrel@kestrin.invalid>"
    CACHE STRING "Maintainer field of the .deb (name <address>)")
configure_file(${KV_DOCS}/debian/changelog.in ${KV_CHANGELOG} @ONLY)
add_custom_command(
  OUTPUT ${KV_CHANGELOG}.gz
  COMMAND ${GZIP} -9n -c ${KV_CHANGELOG} > ${KV_CHANGELOG}.gz
  DEPENDS ${KV_CHANGELOG}
  VERBATIM)
add_custom_target(kv_changelog ALL DEPENDS ${KV_CHANGELOG}.gz)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${KV_DOCS}/GNSS.html ${KV_DOCS}/kavrel-programming.png
              ${KV_DOCS}/debian/copyright ${KV_CHANGELOG}.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The HTML manual registered with doc-base (its trigger updates the documentation indexes), and the lintian
# tags that do not apply to this package, each with its reason.
install(FILES ${KV_DOCS}/debian/doc-base DESTINATION ${CMAKE_INSTALL_DATADIR}/doc-base RENAME kavrel-manual)
install(FILES ${KV_DOCS}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kavrel)

# --- the .deb ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavrel)
set(CPACK_PACKAGE_VENDOR "Kestrin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KV_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Run-time libraries from the programs themselves (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Help and the maker's web address open in the desktop's browser through xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for GNSS receivers over a serial port")
# CPack puts the summary in front as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kavrel writes firmware and option images into the flash memory of a GNSS
receiver over a serial port. It switches the receiver into its loader, loads a
first-stage loader into the receiver's RAM, identifies the flash chip, erases
the range the image needs and programs it with acknowledgements.
.
The dialog shows status, progress and the connection; the command line runs
one upload unattended and ends with an exit code. The package also holds
kavrel-sim, a simulated receiver on a pseudo-terminal, and kavrel-image, which
inspects and builds image files.")
include(CPack)
