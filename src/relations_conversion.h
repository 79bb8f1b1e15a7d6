// The relations of a list converted in the way that fits the list: on the
// calling thread when the rest of the list is already in the window (most
// lists are that small) or only one core is available; else by a thread
// team that grows with the work, up to one thread per core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "byte_input.h"
#include "byte_output.h"
#include "relation_list.h"
#include "stream_conversion.h"

namespace datmos {

// Reads `relationCount` relations from where `input` stands, under
// `rules`, and writes their lines to `output`, in list order. A team is
// used only where the rest of the list does not fit in input's window (the
// window's size decides which lists are small), of at most `workers`
// threads, or where `workers` is 0, of one per core that the process may
// run on (with one core, none); a chunk holds at most `chunkBytes` bytes,
// unless 0 (then a size that keeps memory bounded). `writeFirst`, where
// given, writes what precedes the lines in `output`, while the team begins.
RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  unsigned workers = 0, std::size_t chunkBytes = 0, const ReadRules& rules = {},
                                  const std::function<void()>& writeFirst = {});

}  // namespace datmos
