// The copy and verify commands and their registration with the command frame.
#pragma once

// copy [-b] [-d <folder>] [-f <file>] [-n] [-p] [-q] [-t <seconds>] [-w] <source> [<source> ...]
//      [<destination>]
int copy_command(int argc, char** argv);

// verify [-a] [-b] [-q] [-r] [-t <seconds>] <chunk map, folder or store folder> [...]
int verify_command(int argc, char** argv);

// Registers `copy` with the frame and schedules its removal at exit. Start-up only.
void copy_register_commands();
