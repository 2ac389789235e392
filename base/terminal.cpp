// Terminal queries, passed through to the platform.
#include "base/terminal.h"

uint32_t terminal_width(OsHandle handle) { return os_console_width(handle); }
