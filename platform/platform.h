// The one interface between the program and the operating system. Everything
// above platform/ reaches files, handles, events, memory, threads, console
// control and the process's surroundings only through these functions. Texts
// cross as UTF-8; handles are integers, -1 for none. Failures are Windows
// error numbers (see base/err.h), translated inside each implementation.
// platform/posix/ implements it now; platform/windows/ later wraps the native
// services with the same signatures.
#pragma once

#include <cstddef>
#include <cstdint>

// A file, event or thread handle; OS_NO_HANDLE for none.
using OsHandle = int64_t;
constexpr OsHandle OS_NO_HANDLE = -1;

// ---- Files, handles, transfers and folder queries ----

// ---- Runtime: events, memory, clock, threads, console control, process ----
