// One-shot waits: a WaitBlock on the waiter's stack is signalled once by any
// thread and waited on once by its owner, backed by a cached kernel event.
#pragma once

#include "base/runtime.h"

// A one-shot wait record. Zero-filled is ready for use.
struct WaitBlock {
  int32_t state;       // 0 idle, -1 the owner waits, 1 signalled before the wait
  uint32_t reserved;   // 1 once a signaller is done with a block that had no event node
  EventCache* cache;   // where the node came from
  EventNode* node;     // borrowed for this wait, or null
};

// Waits until `block` is signalled or `timeout_ms` passes (-1 or any value of
// 0x7FFFFFFF and above as unsigned: no limit). Returns true when signalled,
// false on time-out; a signal that races the time-out is never lost (true).
// The borrowed event node is returned to its cache before returning.
// REQUIRES: called once per block, by its owner.
bool wait_block_wait(WaitBlock* block, int32_t timeout_ms, bool alertable);
// Signals `block`; callable from any thread, once per block.
void wait_block_signal(WaitBlock* block);
