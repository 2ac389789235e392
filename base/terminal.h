// What the program needs to know about a terminal behind a handle.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The width in columns of the terminal `handle` writes to, or 0 when the
// handle is not a terminal (or its width is unknown).
uint32_t terminal_width(OsHandle handle);
