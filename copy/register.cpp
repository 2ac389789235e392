// Registration of the copy and verify commands with the frame.
#include <cstdlib>

#include "copy/commands.h"
#include "frame/command.h"

namespace {

CommandEntry g_copy_entry;
CommandEntry g_verify_entry;

void unregister_copy() {
  unregister_command(&g_verify_entry);
  unregister_command(&g_copy_entry);
}

}  // namespace

void copy_register_commands() {
  register_command(&g_copy_entry, nullptr, "copy", copy_command,
                   "Copy file(s) to or from hash store.\n",
                   "syntax: %(command_name) %1 [<switch> ...] <souce file> [<source file> ...] "
                   "[<destination file/folder>]\nswitches:\n"
                   "  -b  Fail at once when the destination store is in use.\n"
                   "  -d <destination folder>  Destination folder.\n"
                   "  -f <destination file>  Destination file.\n"
                   "  -n  Do not overwrite files.\n"
                   "  -p  Copy between different sized devices.\n"
                   "  -q  Quiet: no progress line.\n"
                   "  -t <seconds>  Wait at most this long for the destination store.\n"
                   "  -w  Do not avoid writing duplicate data.\n");
  register_command(&g_verify_entry, nullptr, "verify", verify_command,
                   "Check that a hash store holds what its zuvo files list.\n",
                   "syntax: %(command_name) %1 [<switch> ...] <zuvo file/folder/store folder> "
                   "[...]\nswitches:\n"
                   "  -a  Check every file in the chunk dictionary of a store folder.\n"
                   "  -b  Fail at once when the store is in use.\n"
                   "  -q  Quiet: no progress line.\n"
                   "  -r  Move damaged chunk files aside.\n"
                   "  -t <seconds>  Wait at most this long for the store.\n");
  std::atexit(unregister_copy);
}
