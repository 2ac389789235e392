// Registers the store's commands (create_store, info, prune) with the command frame
// and schedules their removal at exit. Start-up only.
#pragma once

void store_register_commands();
