# How the converter is linked. Lists are converted one process per file,
# and on a small list starting the process is most of the run, so the link
# keeps start-up near what a C program that only copies the list pays:
#
#   the GNU C library shared      as Debian requires: the executable gets
#                                 the library's fixes with the library
#   the C++ runtime linked in     libstdc++ and libgcc, statically: shared,
#                                 they add three libraries, some 2,200
#                                 relocations and 50 page faults to every
#                                 run (DATMOS_STATIC_RUNTIME=OFF shares them)
#   no math library               the converter calls none of its functions
#                                 (see datmos_runtime_libraries)
#   --gc-sections                 the runtime's unused sections dropped, and
#                                 with them a fifth of its relocations
#
# Immediate binding stays (hardening.cmake). Packed relative relocations
# (-z pack-relative-relocs) and calls without the PLT (-fno-plt) were
# measured too and bought nothing here.
#
# DATMOS_STATIC_EXECUTABLE=ON links a static position-independent
# executable instead, which loads no library: a single file that runs on
# any Linux of its architecture. It is never the default and never
# packaged: the C library in it would not get the library's fixes.
# The sanitizer builds always share both runtimes.

option(DATMOS_STATIC_RUNTIME "Link the C++ runtime (libstdc++, libgcc) into the converter; the C library stays shared" ON)
option(DATMOS_STATIC_EXECUTABLE "Link the converter as a static position-independent executable that loads no library: a portable single file, never packaged" OFF)

include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

# The C++ runtime linked in and the C library shared, as
# -static-libstdc++ -static-libgcc link them, but without the math library
# that the compiler driver adds to every C++ program: the converter calls
# none of its functions, and loading it costs every run 10 page faults and
# a tenth of the loader's work.
# (With -static-libstdc++ the driver's libm is kept even then: the
# runtime's parser of long doubles, which the linker drops later, names
# two of its functions.) Sets RESULT to the libraries to link after
# -nodefaultlibs, or to nothing where the toolchain can't link a C++
# program that way.
function(datmos_runtime_libraries result)
  set(libraries -Wl,-Bstatic -lstdc++ -Wl,-Bdynamic -lgcc -lgcc_eh -lc -lgcc -lgcc_eh)
  set(CMAKE_REQUIRED_LINK_OPTIONS -nodefaultlibs -Wl,--gc-sections)
  set(CMAKE_REQUIRED_LIBRARIES ${libraries})
  check_cxx_source_compiles([[
    #include <charconv>
    #include <stdexcept>
    #include <string>
    #include <thread>
    int main(int argc, char** argv) {
        double value = 0;
        std::from_chars(argv[0], argv[0] + argc, value);
        std::thread([] {}).join();
        try { throw std::runtime_error(std::to_string(value)); } catch (const std::exception&) { return 1; }
        return 0;
    }]] DATMOS_LINKS_WITHOUT_LIBM)
  if(DATMOS_LINKS_WITHOUT_LIBM)
    set(${result} ${libraries} PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()

# datmos_link_converter(TARGET): the link options above, for TARGET.
function(datmos_link_converter target)
  if(NOT DATMOS_SANITIZERS MATCHES "^(OFF|FALSE|NO|N|0|)$")
    if(DATMOS_STATIC_EXECUTABLE)
      message(FATAL_ERROR "DATMOS_STATIC_EXECUTABLE=ON can't be combined with DATMOS_SANITIZE: the sanitizers need the shared runtimes")
    endif()
    return()
  endif()
  if(DATMOS_STATIC_EXECUTABLE)
    set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
    check_cxx_source_compiles("int main() { return 0; }" DATMOS_HAS_STATIC_PIE)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(NOT DATMOS_HAS_STATIC_PIE)
      message(FATAL_ERROR "DATMOS_STATIC_EXECUTABLE=ON needs a toolchain that links -static-pie")
    endif()
    target_link_options(${target} PRIVATE -static-pie)
  elseif(DATMOS_STATIC_RUNTIME)
    datmos_runtime_libraries(libraries)
    if(libraries)
      target_link_options(${target} PRIVATE -nodefaultlibs)
      target_link_libraries(${target} PRIVATE ${libraries})
    else()
      target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
  endif()

  check_linker_flag(CXX LINKER:--gc-sections DATMOS_HAS_GC_SECTIONS)
  if(DATMOS_HAS_GC_SECTIONS)
    target_link_options(${target} PRIVATE LINKER:--gc-sections)
  endif()
endfunction()
