// Showing text that came from a device or the network (names, addresses, versions, serial
// numbers) on the operator's terminal. Such text is not ours: a device must never be able to
// move the cursor, retitle the window or rewrite what was shown.
#pragma once

#include <cstddef>
#include <string>

// The text up to its first NUL or its `max`th byte, as it may be printed: printable ASCII and
// valid UTF-8 unchanged; control characters (C0, DEL, C1 also when encoded as UTF-8), the
// backslash, characters that print nothing but change or hide how the text around them reads
// (every default-ignorable code point: bidirectional controls, zero-width characters, the soft
// hyphen, variation selectors, the byte-order mark, tag characters; and the line and paragraph
// separators) and bytes that are not valid UTF-8 shown as \xHH, one escape per byte. So a
// backslash shown always starts an escape: a device's own backslash shows as \x5c.
std::string device_text(const char* text, size_t max);
