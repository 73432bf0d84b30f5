// Text handed to the caller through a buffer of theirs, so that C#, Python
// ctypes and Delphi need no custom marshalling and nothing of ours is ever
// freed by their runtime.
#pragma once

#include <string>

namespace cashdrawer {

// Copies `text` into `buffer`, cut to at most `size - 1` bytes (short of a
// UTF-8 character that would not fit whole) and always NUL-terminated, and returns the text's full length: a caller whose buffer
// was too small sees a larger number than it offered, and asks again. A
// null buffer with size 0 only asks for the length. -3 for a negative size,
// or a null buffer with a size.
int CopyToCallerBuffer(const std::string& text, char* buffer, int size);

} // namespace cashdrawer
