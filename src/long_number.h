// Numbers longer than the window of a ByteInput, read as their bytes
// stream by: only what decides the value is kept, so that one number of
// any length takes bounded memory.
#pragma once

#include <string>

#include "byte_input.h"
#include "number_scan.h"

namespace datmos {

// Each reads the number at the cursor, one that fills the whole window and
// goes on (the window's scan needs more on a full window), and gives what
// scanInteger or scanReal gives for the whole number: the same outcome and
// value, the stop being the cursor, where the number is left. The cursor
// never passes a line feed. `head` receives the number's first bytes, up
// to its stop, at most ByteInput::kLeastWindow: what a message shows of it.
// A NaN whose bracket does not close stops right after "nan", which is gone
// by then: the cursor is left in the bracket instead. Rare: kept apart from
// the usual path.
[[gnu::cold]] IntegerScan scanLongInteger(ByteInput& input, std::string& head);
[[gnu::cold]] RealScan scanLongReal(ByteInput& input, std::string& head);

}  // namespace datmos
