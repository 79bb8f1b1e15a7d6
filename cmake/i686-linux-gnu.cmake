# Cross build for 32-bit x86 with Debian's cross compiler (package
# g++-i686-linux-gnu), with that compiler's defaults: x87 floating point,
# as Debian's i386 port builds. GoogleTest is built from its sources for
# the target:
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake \
#         -DDATMOS_GTEST_SOURCE_DIR=/usr/src/googletest/googletest
# An x86-64 kernel runs the programs, tests included, with the 32-bit
# runtime (packages libc6-i386 lib32stdc++6). Where the kernel can't run
# 32-bit programs (some virtual machines), add
# -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386 (package qemu-user): the tests
# then run under it with that same runtime.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
