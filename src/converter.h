// The conversion run: one relation list in, its data file out.
#pragma once

namespace datmos {

// Converts the relation list named by argv[1] into the data file at that
// path followed by ".datmos", reporting to standard output. Returns the
// process exit status, which is 1 in every outcome: standard output tells
// success (exactly "abriu") from failure.
int runConversion(int argc, char** argv);

}  // namespace datmos
