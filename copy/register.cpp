// Registration of the copy command with the frame.
#include <cstdlib>

#include "copy/commands.h"
#include "frame/command.h"

namespace {

CommandEntry g_copy_entry;

void unregister_copy() { unregister_command(&g_copy_entry); }

}  // namespace

void copy_register_commands() {
  register_command(&g_copy_entry, nullptr, "copy", copy_command,
                   "Copy file(s) to or from hash store.\n",
                   "syntax: %(command_name) %1 [<switch> ...] <souce file> [<source file> ...] "
                   "[<destination file/folder>]\nswitches:\n"
                   "  -d <destination folder>  Destination folder.\n"
                   "  -f <destination file>  Destination file.\n"
                   "  -n  Do not overwrite files.\n"
                   "  -p  Copy between different sized devices.\n"
                   "  -w  Do not avoid writing duplicate data.\n");
  std::atexit(unregister_copy);
}
