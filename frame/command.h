// The command frame: the registry of commands, dispatch of the command word,
// banner, command list and help texts, and the mapping from a command's result
// to the process exit code. Registration happens only at start-up; dispatch runs
// on the main thread, so the lists are not locked.
#pragma once

#include <cstdint>

// A command's entry point: (argument count, UTF-8 arguments with the command
// word first and a null after the last) -> 0 or a Windows error number.
using CommandHandler = int (*)(int argc, char** argv);

// One registered command; static storage, never allocated.
struct CommandEntry {
  CommandEntry** prev_link;  // the pointer that points at this entry; null when unlinked
  CommandEntry* next;
  const char* name;        // the command word
  const char* short_help;  // text or message key, or null
  const char* long_help;   // text or message key, or null
  CommandHandler handler;
};

// The visible commands (dispatched and listed) and the hidden ones (dispatched only).
extern CommandEntry* command_list;
extern CommandEntry* hidden_command_list;

// Fills `entry` and links it into `list` (null: command_list), sorted by name.
// REQUIRES: start-up; `entry` and the texts live for the whole process.
void register_command(CommandEntry* entry, CommandEntry** list, const char* name,
                      CommandHandler handler, const char* short_help, const char* long_help);
// Unlinks `entry` if it is linked.
void unregister_command(CommandEntry* entry);

// Compares command words ignoring leading '-' and '/', letter case, and the
// difference between ' ', '-' and '_'. Returns -1, 0 or +1.
int command_name_compare(const char* a, const char* b);

// Prints what the arguments ask for (banner, command list, help, unknown
// command) and chooses the handler to run, if any. Returns 0 or -1 (unknown).
int dispatch_command(CommandEntry** list, int argc, char** argv, CommandHandler* out_handler);

// Sets the frame's texts from the caller's values, dispatches, and runs the
// chosen handler with the same arguments. Returns the handler's or the
// dispatch's result.
int run_command_frame(CommandEntry** list, int argc, char** argv, const char* command_name,
                      const char* application_name, const char* build_tag,
                      const char* copyright);

// The process exit code for a command's result number.
int exit_code_for_error(int result);
