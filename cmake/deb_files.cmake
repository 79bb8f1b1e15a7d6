# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) in the staging directory before it
# makes the package: strips the executable as Debian's tools do and adds
# the files that belong to the Debian package only, not to
# `cmake --install`.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# A static executable holds its own copy of the C library, which would
# not get the library's fixes and security updates: Debian packages link
# it dynamically.
if(CPACK_DATMOS_STATIC_EXECUTABLE)
  message(FATAL_ERROR "A static executable (DATMOS_STATIC_EXECUTABLE=ON) is not packaged: "
    "configure the build directory without it to make the Debian package")
endif()

set(staging ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})

# Debugging symbols and the .comment and .note sections go, as dh_strip
# removes them from an executable.
if(NOT CPACK_DATMOS_STRIP)
  message(FATAL_ERROR "no strip program (CMAKE_STRIP) to strip the packaged executable with")
endif()
execute_process(
  COMMAND ${CPACK_DATMOS_STRIP} --remove-section=.comment --remove-section=.note ${staging}/${CPACK_DATMOS_EXECUTABLE}
  RESULT_VARIABLE stripped)
if(NOT stripped EQUAL 0)
  message(FATAL_ERROR "could not strip ${staging}/${CPACK_DATMOS_EXECUTABLE}")
endif()

# lintian's overrides, at the path where lintian looks for them.
set(lintian_dir ${staging}/share/lintian)
file(MAKE_DIRECTORY ${lintian_dir}/overrides)
file(COPY_FILE ${CPACK_DATMOS_LINTIAN_OVERRIDES} ${lintian_dir}/overrides/${CPACK_PACKAGE_NAME})
# Debian's modes, whatever the umask.
file(CHMOD ${lintian_dir} ${lintian_dir}/overrides
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD ${lintian_dir}/overrides/${CPACK_PACKAGE_NAME}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
