// The program's start-up, entry and exit order around the command frame.
#pragma once

// The values the entry passes to the frame.
extern const char PROGRAM_APPLICATION_NAME[];
extern const char PROGRAM_BUILD_TAG[];
extern const char PROGRAM_COPYRIGHT[];

// Registers the frame's default texts and the hidden `version` command.
// Start-up only, after the commands and the runtime.
void frame_register_defaults();

// The process entry: records the arguments (main's, or the platform's UTF-16
// ones), starts console control and runs the command frame. Returns the exit
// code (-1 when the arguments could not be recorded).
int program_main(int argc, char** argv);
