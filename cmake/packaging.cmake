# What `cmake --install` puts where, and the packages that CPack makes of it:
# on Windows the zip a user downloads, on POSIX systems the Debian package.
# `cmake --install BUILD --strip` and CPack strip the program; the build
# itself leaves its symbols in. With SOURCE_DATE_EPOCH set, CPack dates the
# archived files at that time, and the strip step stamps the exe's header
# with it, so that one commit gives the same packages every time.

install(TARGETS portkick RUNTIME DESTINATION bin)

set(CPACK_PACKAGE_NAME portkick)
set(CPACK_PACKAGE_VENDOR "the portkick authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
# No source package: a release's source is the commit as `git archive` gives
# it (scripts/release.sh). CPack's would archive the build trees as well; its
# configuration goes where no `package_source` target picks it up.
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CMakeFiles/CPackSourceConfig-unused.cmake")

if(WIN32)
  install(FILES README.md LICENSE DESTINATION share/doc/portkick)
  # The zip holds one folder, portkick-<version>-win64: the program and the
  # avrdude.exe it runs, avrdude's configuration and licence (the directory
  # that scripts/avrdude.sh makes), README.txt for the Windows user and
  # LICENSE. A separate component, so that `cmake --install` keeps the
  # layout above. Without avrdude there is no zip.
  set(PORTKICK_AVRDUDE_DIR "" CACHE PATH "avrdude for the zip: the directory that scripts/avrdude.sh prints")
  if(NOT PORTKICK_AVRDUDE_DIR)
    return()
  endif()
  configure_file(win/README.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS portkick RUNTIME DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  install(PROGRAMS "${PORTKICK_AVRDUDE_DIR}/avrdude.exe" DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES "${PORTKICK_AVRDUDE_DIR}/avrdude.conf" "${PORTKICK_AVRDUDE_DIR}/avrdude-COPYING.txt"
    "${PROJECT_BINARY_DIR}/README.txt" LICENSE DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME "portkick-${PROJECT_VERSION}-win64")
  include(CPack)
  return()
endif()

# POSIX: laid out as Debian policy wants it. Private programs go in
# lib/portkick, off the PATH: portkick finds its avrdude.exe wrapper there,
# relative to itself.
install(PROGRAMS tools/avrdude.exe DESTINATION lib/portkick)
# udev names each USB serial port COMn through portkick-com-name, which keeps
# the numbers in /var/lib/portkick/com-names. The rule is written when it is
# installed, for the prefix of that install, so that it runs the program
# where the install put it (udev reads the rules of /usr/local too). A unit
# names at boot the ports that were plugged in before /var was up; the
# package enables it (postinst) and owns /var/lib/portkick (see
# cmake/deb-only-files.cmake); purging removes it (postrm).
install(TARGETS portkick-com-name RUNTIME DESTINATION lib/portkick)
install(CODE "
  set(PORTKICK_COM_NAME \"\${CMAKE_INSTALL_PREFIX}/lib/portkick/$<TARGET_FILE_NAME:portkick-com-name>\")
  if(NOT PORTKICK_COM_NAME MATCHES \"^/[-A-Za-z0-9/._+]*\$\")
    message(FATAL_ERROR \"udev cannot run \${PORTKICK_COM_NAME}: the prefix must be an absolute \"
      \"path of letters, digits and /._+- only\")
  endif()
  set(rule \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d/61-portkick.rules\")
  message(STATUS \"Installing: \${rule}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/udev/61-portkick.rules.in\" \"\${rule}\" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${rule}\")")
install(FILES udev/portkick-com-names.service DESTINATION lib/systemd/system)
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/deb-only-files.cmake")
set(CPACK_PORTKICK_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
# Stripped as Debian strips: no compiler version notes either.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:portkick>\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/portkick/$<TARGET_FILE_NAME:portkick-com-name>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")

# The documentation: the manual page, the README, the copyright file and the
# changelog, made from docs/portkick.1, LICENSE and CHANGELOG.md.
set(PORTKICK_MAINTAINER "the portkick authors <portkick@example.org>" CACHE STRING
  "Maintainer of the Debian package and of its changelog entries: Name <address>")
include(cmake/debian-docs.cmake)
portkick_debian_docs("${PROJECT_BINARY_DIR}/debian-docs" "${PORTKICK_MAINTAINER}")
install(FILES "${PROJECT_BINARY_DIR}/debian-docs/portkick.1.gz" DESTINATION share/man/man1)
install(FILES README.md
  "${PROJECT_BINARY_DIR}/debian-docs/copyright"
  "${PROJECT_BINARY_DIR}/debian-docs/changelog.gz"
  DESTINATION share/doc/portkick)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PORTKICK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_DEPENDS avrdude)
# The C and C++ runtime libraries the program links, found by dpkg-shlibdeps
# and added to the dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Enables the boot unit on install; forgets the COM numbers on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/udev/postinst"
  "${PROJECT_SOURCE_DIR}/udev/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The first line is the summary above; blank lines part paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
portkick writes a new firmware image into an ATmega32U4 board over its USB
serial port in one command. It gives the board's port the 1200-baud touch
that restarts the board into its bootloader, waits for the bootloader's own
serial port to show up, and runs avrdude on that port to write firmware.hex
from the current directory.

This is the POSIX build of a Windows console program: ports keep their
Windows names, such as COM5, as links in /dev that udev rules make to the
boards' serial devices.]])
include(CPack)
