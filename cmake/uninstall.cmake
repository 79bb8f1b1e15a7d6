# Run by the `uninstall` target:
#   cmake -D DATMOS_INSTALL_RECORD=FILE -P uninstall.cmake
# Removes what `cmake --install` recorded in FILE (see install_record.cmake):
# every file, then every directory that an installation made, deepest
# first, where it is empty; a directory that holds anything else stays.
# The record is deleted once everything in it is gone, and kept otherwise,
# so that the uninstall can be run again (as root, say).

if(NOT EXISTS "${DATMOS_INSTALL_RECORD}")
  message(STATUS "Nothing to uninstall: no installation recorded in ${DATMOS_INSTALL_RECORD}")
  return()
endif()

file(STRINGS "${DATMOS_INSTALL_RECORD}" entries)
list(REMOVE_DUPLICATES entries)
set(directories "")
set(left "")

# Runs rm or rmdir on `path`; what failed, with the reason, goes to `left`.
function(datmos_remove command path)
  message(STATUS "Removing ${path}")
  execute_process(COMMAND ${command} -- "${path}" RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    string(STRIP "${error}" error)
    set(left ${left} "${error}" PARENT_SCOPE)
  endif()
endfunction()

foreach(entry IN LISTS entries)
  if(entry MATCHES "^(.+)/$")
    list(APPEND directories "${CMAKE_MATCH_1}")
  elseif(EXISTS "${entry}" OR IS_SYMLINK "${entry}")
    datmos_remove(rm "${entry}")
  else()
    message(STATUS "Already gone: ${entry}")
  endif()
endforeach()

# A directory's path begins with its parent's, so in descending order every
# directory comes before its parent.
list(SORT directories ORDER DESCENDING)
foreach(directory IN LISTS directories)
  if(NOT IS_DIRECTORY "${directory}" OR IS_SYMLINK "${directory}")
    continue()
  endif()
  file(GLOB contents LIST_DIRECTORIES true "${directory}/*" "${directory}/.*")
  if(contents)
    message(STATUS "Keeping ${directory}: not empty")
    continue()
  endif()
  # rmdir removes a directory only while it is empty.
  datmos_remove(rmdir "${directory}")
endforeach()

if(left)
  list(JOIN left "\n  " left)
  message(FATAL_ERROR "Not everything could be removed:\n  ${left}\n"
    "The record stays in ${DATMOS_INSTALL_RECORD} for another try.")
endif()
file(REMOVE "${DATMOS_INSTALL_RECORD}")
