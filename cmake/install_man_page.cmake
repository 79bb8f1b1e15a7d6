# Included by `cmake --install` (see install.cmake): installs the manual
# page with the documentation directory of this installation in place of
# the package's /usr/share/doc/datmos-convert, so that FILES and EXAMPLES
# name where the example is for an installation under any prefix, and
# compresses it with gzip where DATMOS_GZIP names it.
#
# Set by the caller: DATMOS_MAN_SOURCE (the page as written), DATMOS_MAN_BUILD
# (a directory of the build tree to write the installed page in),
# DATMOS_GZIP (empty to install it uncompressed), DATMOS_DOCDIR and
# DATMOS_MANDIR (the installation directories, relative to the prefix or
# absolute).

foreach(directory IN ITEMS DATMOS_DOCDIR DATMOS_MANDIR)
  if(NOT IS_ABSOLUTE "${${directory}}")
    set(${directory} "${CMAKE_INSTALL_PREFIX}/${${directory}}")
  endif()
  cmake_path(NORMAL_PATH ${directory})
  string(REGEX REPLACE "(.)/$" "\\1" ${directory} "${${directory}}")
endforeach()

# In roff a backslash is written \e and a minus sign \-.
string(REPLACE "\\" "\\e" docdir "${DATMOS_DOCDIR}")
string(REPLACE "-" "\\-" docdir "${docdir}")

file(READ "${DATMOS_MAN_SOURCE}" page)
string(REPLACE "/usr/share/doc/datmos\\-convert" "${docdir}" page "${page}")
file(MAKE_DIRECTORY "${DATMOS_MAN_BUILD}")
set(built "${DATMOS_MAN_BUILD}/datmos-convert.1")
file(WRITE "${built}" "${page}")
if(DATMOS_GZIP)
  # -9 -n as Debian compresses: the same page gives the same bytes in
  # every build, without a name or time stamp.
  execute_process(COMMAND "${DATMOS_GZIP}" -9 -n -f "${built}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not compress ${built}")
  endif()
  set(built "${built}.gz")
endif()
file(INSTALL DESTINATION "${DATMOS_MANDIR}/man1" TYPE FILE FILES "${built}")
