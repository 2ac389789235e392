// The store's commands, registered with the command frame at start-up.
#pragma once

// create_store [-i <n>] [-n <n>] [-w <n>] [-z] <store folder>
int create_store_command(int argc, char** argv);
// info [<file/folder>]
int info_command(int argc, char** argv);
// prune [-b] [-n] [-q] [-t <seconds>] <store folder>
int prune_command(int argc, char** argv);

// "sha2_512" for hash type 1, else "unknown".
const char* hash_type_name(unsigned type);
// "none" for 0, "zip" for 1, else "unknown".
const char* compression_type_name(unsigned type);
