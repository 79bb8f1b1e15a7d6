# Included by `cmake --install` (see install.cmake): records what the
# installation writes, for the `uninstall` target (uninstall.cmake), in
# DATMOS_INSTALL_RECORD, one path a line: every file installed, and every
# directory that the installation made, with a slash at its end. Each
# installation adds its lines, so that an uninstall removes what all the
# installations since the last one wrote. install_manifest.txt can't serve:
# cpack rewrites it with the package's paths.
#
# cpack's own installation, into its staging directory, is not recorded:
# the package's files are not installed there.

# The full path of an installation directory, DESTDIR included.
function(datmos_destination directory result)
  if(NOT IS_ABSOLUTE "${directory}")
    set(directory "${CMAKE_INSTALL_PREFIX}/${directory}")
  endif()
  set(path "$ENV{DESTDIR}${directory}")
  cmake_path(NORMAL_PATH path)
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${result} "${path}" PARENT_SCOPE)
endfunction()

function(datmos_is_staging result)
  datmos_destination("${CMAKE_INSTALL_PREFIX}" path)
  if(path MATCHES "/_CPack_Packages/")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Before the first file is installed: which of the installation directories
# DATMOS_INSTALL_DIRECTORIES, and of the directories above them, do not
# exist yet.
function(datmos_note_missing_directories)
  set(missing "")
  foreach(directory IN LISTS DATMOS_INSTALL_DIRECTORIES)
    datmos_destination("${directory}" path)
    # A relative DESTDIR ends in an empty parent.
    while(NOT path STREQUAL "" AND NOT EXISTS "${path}")
      list(APPEND missing "${path}")
      cmake_path(GET path PARENT_PATH parent)
      if(parent STREQUAL path)
        break()
      endif()
      set(path "${parent}")
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES missing)
  set_property(GLOBAL PROPERTY DATMOS_MISSING_DIRECTORIES "${missing}")
endfunction()

# After the last file: the files installed, and the directories that were
# missing before and exist now.
function(datmos_record_installation)
  datmos_is_staging(staging)
  if(staging)
    return()
  endif()
  set(lines "")
  # The manifest lists the files without DESTDIR.
  foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    string(APPEND lines "$ENV{DESTDIR}${file}\n")
  endforeach()
  get_property(missing GLOBAL PROPERTY DATMOS_MISSING_DIRECTORIES)
  foreach(directory IN LISTS missing)
    if(IS_DIRECTORY "${directory}")
      string(APPEND lines "${directory}/\n")
    endif()
  endforeach()
  file(APPEND "${DATMOS_INSTALL_RECORD}" "${lines}")
  message(STATUS "Recorded for the uninstall target: ${DATMOS_INSTALL_RECORD}")
endfunction()
