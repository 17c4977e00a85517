# What `cmake --install` puts where, and the packages that CPack makes of it:
# on Windows the zip a user downloads, on POSIX systems the Debian package.
# `cmake --install BUILD --strip` and CPack strip the program; the build
# itself leaves its symbols in. With SOURCE_DATE_EPOCH set, CPack dates the
# archived files at that time, and the strip step stamps the exe's header
# with it, so that one commit gives the same zip every time.

install(TARGETS portkick RUNTIME DESTINATION bin)
install(FILES README.md LICENSE DESTINATION share/doc/portkick)
if(NOT WIN32)
  # portkick runs "avrdude.exe": the wrapper that runs the real avrdude, on
  # the PATH beside the program.
  install(PROGRAMS tools/avrdude.exe DESTINATION bin)
endif()

# Linux: udev names each USB serial port COMn through portkick-com-name, which
# keeps the numbers in /var/lib/portkick/com-names. The program makes that
# directory itself on its first run; purging the package removes it (postrm).
if(NOT WIN32)
  install(TARGETS portkick-com-name RUNTIME DESTINATION lib/portkick)
  install(FILES udev/61-portkick.rules DESTINATION lib/udev/rules.d)
endif()

set(CPACK_PACKAGE_NAME portkick)
set(CPACK_PACKAGE_VENDOR "the portkick authors")
set(CPACK_PACKAGE_CONTACT "the portkick authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  # The zip holds the program, README.md and LICENSE side by side, no
  # folders: a separate component, so that `cmake --install` keeps the
  # layout above.
  install(TARGETS portkick RUNTIME DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES README.md LICENSE DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGE_FILE_NAME "portkick-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS avrdude)
  # The C and C++ runtime libraries the program links, found by
  # dpkg-shlibdeps and added to the dependencies.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Forgets the COM numbers on purge.
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/udev/postrm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
