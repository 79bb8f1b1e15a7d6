// The version of the program, which the build (CMakeLists.txt), the
// package and --version all take from here.
#pragma once

#define DATMOS_VERSION "1.0.0"
