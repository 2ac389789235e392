// The worker pool: work items run on reusable threads that park when idle.
// There is no queue and no limit: an item goes to a parked worker, or a new
// worker is started for it. Idle workers stay parked until process exit.
#pragma once

// Runs `function(argument)` once on a pool thread. Returns true when the item
// was given to a worker; false only when a new worker was needed and could not
// be started (the item then does not run). Thread-safe.
bool work_item_run(void (*function)(void*), void* argument);
