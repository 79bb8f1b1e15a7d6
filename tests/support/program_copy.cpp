// A copy of the converter for a test that runs it as another user: the
// build tree may lie under a directory that only its owner can enter (a
// home directory of mode 700), where that user can't reach the original.
#include <filesystem>
#include <string>

#include "run_program.h"

namespace e2e {

std::string copyForEveryUser(const TempDir& directory) {
    namespace fs = std::filesystem;
    constexpr fs::perms kEveryUser = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(directory.path(), kEveryUser);
    const fs::path executable = directory / "datmos-convert";
    fs::copy_file(DATMOS_CONVERT_EXECUTABLE, executable);
    fs::permissions(executable, kEveryUser);
    const std::string emulator = DATMOS_EMULATOR;
    if (emulator.empty()) return executable.string();
    // Under an emulator, a script beside the copy runs it there, as the
    // build's own script runs the original.
    const fs::path script = directory / "datmos-convert-emulated";
    writeFile(script, "#!/bin/sh\nexec " + emulator + "'" + executable.string() + "' \"$@\"\n");
    fs::permissions(script, kEveryUser);
    return script.string();
}

}  // namespace e2e
