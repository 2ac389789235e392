// Registration of the store's commands with the frame.
#include "store/register.h"

#include <cstdlib>

#include "frame/command.h"
#include "store/commands.h"

namespace {

CommandEntry g_create_store_entry;
CommandEntry g_info_entry;
CommandEntry g_prune_entry;

void unregister_store_commands() {
  unregister_command(&g_prune_entry);
  unregister_command(&g_info_entry);
  unregister_command(&g_create_store_entry);
}

}  // namespace

void store_register_commands() {
  register_command(&g_create_store_entry, nullptr, "create_store", create_store_command,
                   "Create a hash store.\n",
                   "syntax: %(command_name) %1 [<switch> ...] <store folder>\nswitches:\n"
                   "  -i <n>  Hash chunk size\n  -n <n>  Folder levels in chunk dictionary\n"
                   "  -w <n>  Digit count in folder names in chunk dictionary\n"
                   "  -z  Use zip compression\n");
  register_command(&g_info_entry, nullptr, "info", info_command,
                   "Display zuvo file/store information.\n",
                   "syntax: %(command_name) %1 [<switch> ...] [<file/folder>]\nswitches:\n");
  register_command(&g_prune_entry, nullptr, "prune", prune_command,
                   "Delete chunk files that no chunk map uses.\n",
                   "syntax: %(command_name) %1 [<switch> ...] <store folder>\nswitches:\n"
                   "  -b  Fail at once when the store is in use.\n"
                   "  -n  Only report what would be deleted.\n"
                   "  -q  Quiet: no progress line.\n"
                   "  -t <seconds>  Wait at most this long for the store.\n");
  std::atexit(unregister_store_commands);
}
