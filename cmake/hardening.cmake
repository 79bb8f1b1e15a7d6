# Hardening: the protections Debian builds its programs with, applied to
# every target here whatever the build type or the compiler:
#   -fstack-protector-strong          canaries in functions with arrays or
#                                     address-taken locals
#   -D_FORTIFY_SOURCE=3               bounds-checked libc calls, also where
#                                     a buffer's size is known only at run
#                                     time (optimised builds only: glibc
#                                     needs -O and warns without it; a
#                                     glibc older than 2.34 takes it as 2)
#   -Wformat -Werror=format-security  no non-literal format strings
#   -Wl,-z,relro -Wl,-z,now           relocations read-only after start-up,
#                                     every symbol bound at start-up
#   -fPIE -pie                        a position-independent executable,
#                                     whatever the compiler's default
#   -fstack-clash-protection          stack probes for large frames
#   -fcf-protection                   indirect branch tracking and shadow
#                                     stack marks, x86 only
# The last two are used where the compiler takes them for the target.
# -DDATMOS_HARDEN=OFF builds without any of them. Sanitizer builds are
# built without them too: the sanitizers check more, and fortified libc
# calls would pass by their checks.

option(DATMOS_HARDEN "Build with stack protection, fortified libc calls, full RELRO, immediate binding and PIE" ON)
if(NOT DATMOS_HARDEN OR NOT DATMOS_SANITIZERS MATCHES "^(OFF|FALSE|NO|N|0|)$")
  return()
endif()

include(CheckCXXCompilerFlag)
set(datmos_hardening_flags -fstack-protector-strong -fPIE)
check_cxx_compiler_flag(-fstack-clash-protection DATMOS_HAS_STACK_CLASH_PROTECTION)
if(DATMOS_HAS_STACK_CLASH_PROTECTION)
  list(APPEND datmos_hardening_flags -fstack-clash-protection)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
  check_cxx_compiler_flag(-fcf-protection DATMOS_HAS_CF_PROTECTION)
  if(DATMOS_HAS_CF_PROTECTION)
    list(APPEND datmos_hardening_flags -fcf-protection)
  endif()
endif()

add_compile_options(${datmos_hardening_flags} -Wformat -Werror=format-security
  # -U first: some compilers define it themselves, and a second definition
  # with another value would warn.
  "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=3>")
add_link_options(-pie LINKER:-z,relro LINKER:-z,now)
