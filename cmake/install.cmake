# Installation and Debian packaging.
#
#   cmake --install build --prefix PREFIX   installs
#     PREFIX/bin/datmos-convert
#     PREFIX/share/man/man1/datmos-convert.1.gz  (datmos-convert.1 without gzip)
#     PREFIX/share/doc/datmos-convert/copyright
#     PREFIX/share/doc/datmos-convert/changelog.Debian.gz  (docs/changelog)
#     PREFIX/share/doc/datmos-convert/examples/  (the example relation lists,
#                                                their data files and names)
#
#   cmake --build build --target uninstall  removes what every
#                                            `cmake --install` since the
#                                            last uninstall wrote
#   cd build && cpack -G DEB                 makes datmos-convert_VERSION-1_ARCH.deb
#
# The package's Depends field comes from dpkg-shlibdeps, so packaging needs
# the Debian packages dpkg-dev (dpkg-shlibdeps, dpkg-deb) and file (CPack
# uses it to find the executables to examine). Where the C++ runtime is
# linked in, the Built-Using field names the source package of its static
# libraries, as dpkg -S finds them.

include(GNUInstallDirs)

# Directories as Debian makes them, whatever the umask (files get these
# modes from install() itself).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Each installation records the files it writes and the directories it
# makes, for the uninstall target (install_record.cmake). First, before any
# file: the installation directories that do not exist yet.
set(DATMOS_INSTALL_RECORD ${PROJECT_BINARY_DIR}/datmos_installed.txt)
install(CODE "
  set(DATMOS_INSTALL_RECORD [[${DATMOS_INSTALL_RECORD}]])
  set(DATMOS_INSTALL_DIRECTORIES [[${CMAKE_INSTALL_BINDIR};${CMAKE_INSTALL_MANDIR}/man1;${CMAKE_INSTALL_DOCDIR}/examples]])
  include([[${CMAKE_CURRENT_LIST_DIR}/install_record.cmake]])
  datmos_note_missing_directories()")
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -D DATMOS_INSTALL_RECORD=${DATMOS_INSTALL_RECORD}
          -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake
  COMMENT "Removing what cmake --install installed"
  VERBATIM)

install(TARGETS datmos-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

find_program(DATMOS_GZIP gzip DOC "gzip, to compress the manual page and the changelog")

# datmos_gzip(SOURCE NAME TARGET): makes ${PROJECT_BINARY_DIR}/doc/NAME.gz
# from SOURCE at build time, as part of the custom target TARGET.
# -9 -n as Debian compresses: the same source gives the same bytes in
# every build, without a name or time stamp.
function(datmos_gzip source name target)
  set(dir ${PROJECT_BINARY_DIR}/doc)
  add_custom_command(
    OUTPUT ${dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${name}
    COMMAND ${DATMOS_GZIP} -9 -n -f ${dir}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${dir}/${name}.gz)
endfunction()

# The manual page, compressed where gzip is at hand (as Debian installs
# manual pages), else installed as written: man reads both. It is made at
# installation, when the prefix is known (install_man_page.cmake).
option(DATMOS_COMPRESS_MAN_PAGE "Install the manual page compressed with gzip" ON)
set(datmos_man_gzip "")
if(DATMOS_COMPRESS_MAN_PAGE AND DATMOS_GZIP)
  set(datmos_man_gzip "${DATMOS_GZIP}")
endif()
install(CODE "
  set(DATMOS_MAN_SOURCE [[${PROJECT_SOURCE_DIR}/docs/datmos-convert.1]])
  set(DATMOS_MAN_BUILD [[${PROJECT_BINARY_DIR}/doc/installed]])
  set(DATMOS_GZIP [[${datmos_man_gzip}]])
  set(DATMOS_DOCDIR [[${CMAKE_INSTALL_DOCDIR}]])
  set(DATMOS_MANDIR [[${CMAKE_INSTALL_MANDIR}]])
  include([[${CMAKE_CURRENT_LIST_DIR}/install_man_page.cmake]])")

install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The changelog, under the name a Debian package gives it: every version
# has a Debian revision (-1), so the package is not a native one.
set(datmos_changelog ${PROJECT_SOURCE_DIR}/docs/changelog)
if(DATMOS_GZIP)
  datmos_gzip(${datmos_changelog} changelog.Debian datmos-convert-changelog)
  install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${datmos_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME changelog.Debian)
endif()

# The example relation lists, each beside its data file, and the names
# behind their person numbers (named so that no pattern for lists, such as
# *.txt, takes them for one).
file(GLOB datmos_examples CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/examples/*.txt
  ${PROJECT_SOURCE_DIR}/examples/*.txt.datmos
  ${PROJECT_SOURCE_DIR}/examples/*.names)
if(datmos_examples)
  install(FILES ${datmos_examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# Last, after every file: the record.
install(CODE "datmos_record_installation()")

# Debian package.
set(DATMOS_PACKAGE_MAINTAINER "The datmos-convert developers <maintainers@datmos-convert.invalid>"
  CACHE STRING "Maintainer field of the Debian package: \"Name <address>\"")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME datmos-convert)
set(CPACK_PACKAGE_VENDOR "The datmos-convert developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert a relation list into a data file")
set(CPACK_PACKAGE_CONTACT ${DATMOS_PACKAGE_MAINTAINER})
# The executable is stripped as Debian's tools strip it, before packaging
# (deb_files.cmake), rather than by CPack, whose strip keeps the .comment
# section.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DATMOS_STRIP ${CMAKE_STRIP})
set(CPACK_DATMOS_EXECUTABLE ${CMAKE_INSTALL_BINDIR}/datmos-convert)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DATMOS_PACKAGE_MAINTAINER})
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "datmos-convert reads a relation list, a text file that gives a number of\n"
  "people and the weighted relations between pairs of them, and writes its\n"
  "data file beside it: a labelled text file that numbers the people from 1\n"
  "and gives every relation with an integer weight in units of 1/10000.\n"
  "\n"
  "Each run converts one file in a single pass with constant memory; many\n"
  "files are converted at once by running it once per file, for example\n"
  "through xargs. The data file appears whole or not at all, and a short\n"
  "message on standard output tells a script whether the run succeeded.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Files of the package alone: lintian's overrides.
set(CPACK_DATMOS_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/docs/lintian-overrides)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_files.cmake)
set(CPACK_DATMOS_STATIC_EXECUTABLE ${DATMOS_STATIC_EXECUTABLE})
# The static libraries of the C++ runtime that the executable holds, for
# Built-Using (deb_control.cmake).
set(CPACK_DATMOS_LINKED_IN "")
if(DATMOS_STATIC_RUNTIME AND NOT DATMOS_STATIC_EXECUTABLE AND DATMOS_SANITIZERS MATCHES "^(OFF|FALSE|NO|N|0|)$")
  foreach(archive IN ITEMS libstdc++.a libgcc.a libgcc_eh.a)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${archive}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${path}" AND EXISTS "${path}")
      file(REAL_PATH "${path}" path)
      list(APPEND CPACK_DATMOS_LINKED_IN "${path}")
    endif()
  endforeach()
endif()
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_control.cmake)

include(CPack)
