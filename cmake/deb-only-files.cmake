# Run by CPack on the Debian package's files before it packs them: adds what
# only the package holds, not a plain `cmake --install`:
#   /var/lib/portkick, where portkick-com-name keeps the COM numbers, so that
#     the package owns it (a plain install leaves it to the program's first
#     run), with its mode set here, whatever the umask;
#   lintian's overrides for the package (udev/lintian-overrides).
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(overrides "${root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
file(MAKE_DIRECTORY "${root}/var/lib/portkick" "${overrides}")
file(COPY_FILE "${CPACK_PORTKICK_SOURCE_DIR}/udev/lintian-overrides" "${overrides}/portkick")
file(CHMOD "${overrides}/portkick" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD "${root}/var" "${root}/var/lib" "${root}/var/lib/portkick"
    "${overrides}/.." "${overrides}"
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
