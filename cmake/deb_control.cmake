# Run by CPack (CPACK_POST_BUILD_SCRIPTS) after it has made the package:
# where the executable holds the C++ runtime's static libraries, adds the
# Built-Using field that names their source package and its version, as
# Debian requires of what is linked in statically. CPack has no such
# field, so the package is unpacked, given it, and built again with
# dpkg-deb.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_DATMOS_LINKED_IN)
  return()
endif()

# The source package and version of each static library, as
# "source (= version)", each once.
set(built_using "")
foreach(archive IN LISTS CPACK_DATMOS_LINKED_IN)
  execute_process(COMMAND dpkg -S ${archive}
    OUTPUT_VARIABLE owner RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "no Debian package holds ${archive}, which the executable links in: "
      "configure with -DDATMOS_STATIC_RUNTIME=OFF to package an executable that shares the C++ runtime")
  endif()
  string(REGEX REPLACE ": .*" "" owner "${owner}")
  execute_process(COMMAND dpkg-query -W "-f=\${source:Package} (= \${source:Version})" ${owner}
    OUTPUT_VARIABLE source RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT source MATCHES "^[a-z0-9][a-z0-9.+-]+ \\(= [^)]+\\)$")
    message(FATAL_ERROR "no source package for ${owner}: '${source}'")
  endif()
  list(APPEND built_using "${source}")
endforeach()
list(REMOVE_DUPLICATES built_using)
list(JOIN built_using ", " built_using)

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/built-using)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  # The field goes before the description, which ends the paragraph.
  file(READ ${tree}/DEBIAN/control control)
  string(FIND "${control}" "\nDescription:" at)
  if(at LESS 0)
    message(FATAL_ERROR "no Description field in the control file of ${deb}")
  endif()
  string(REPLACE "\nDescription:" "\nBuilt-Using: ${built_using}\nDescription:" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${deb}
    RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
