// The process context: the command-line arguments (kept as given, with a
// derived copy in the other encoding), the program file's path and bare name,
// the current folder and the user name. Each value is asked of the platform
// once, cached for the process in heap memory that readers never free, and
// replaced by a fixed fallback when the platform cannot answer. Exit cleanups
// release the copies. Any thread may ask for any value.
#pragma once

#include <cstddef>

#include "base/path.h"
#include "base/scratch.h"

// Prepares the process for the file services. Call first, before other threads run.
void process_setup();

// Records the arguments as the platform gives them: its UTF-16 ones where it
// has them, else `argv` as given.
void process_record_platform_arguments(int argc, const char* const* argv);
// Records UTF-16 arguments (as a platform with UTF-16 arguments gives them):
// converts them to UTF-8 on the heap. Nothing is stored when that fails.
void process_record_arguments(int count, const char16_t* const* wide);
// Records UTF-8 (byte) arguments as given; the UTF-16 copy is derived from them.
void process_record_arguments_utf8(int count, const char* const* argv);
// The UTF-8 argument vector (null when recording failed or did not happen) and,
// when asked, the count.
char** process_arguments(int* out_count);
// The UTF-16 argument vector (null before recording) and, when asked, the count.
const char16_t* const* process_arguments_wide(int* out_count);

// The program file's full path; "\_" when the platform cannot tell.
const char16_t* program_file_path();
// The program file's name without folder and extension; "_" as fallback.
const char16_t* program_name_wide();
// The name part of a program file path without its extension, in `pool`; null
// when there is none. A null syntax means the build's.
char* program_name_from_path(Allocator* pool, const char* path, const PathSyntax* syntax);
// The same in UTF-8: the command name shown in help texts.
const char* program_name();
// The current folder at first use; "\" as fallback.
const char16_t* current_folder_wide();
// The locale's value for `item` (OS_LOCALE_*) in UTF-8. Returns 0, or an
// error number when the platform cannot tell.
[[nodiscard]] int locale_query(int item, char* buffer, size_t capacity);
// The user's name; "?" as fallback (also for an empty name).
const char16_t* user_name();
