# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) in the staging directory before it
# makes the package: adds the files that belong to the Debian package only,
# not to `cmake --install`.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# lintian's overrides, at the path where lintian looks for them.
set(lintian_dir ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian)
file(MAKE_DIRECTORY ${lintian_dir}/overrides)
file(COPY_FILE ${CPACK_DATMOS_LINTIAN_OVERRIDES} ${lintian_dir}/overrides/${CPACK_PACKAGE_NAME})
# Debian's modes, whatever the umask.
file(CHMOD ${lintian_dir} ${lintian_dir}/overrides
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD ${lintian_dir}/overrides/${CPACK_PACKAGE_NAME}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
