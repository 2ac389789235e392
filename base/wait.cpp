// One-shot waits. The owner moves the state 0 -> -1 before it sleeps; a
// signaller adds 1, and only when it finds -1 must it wake the owner. A timed
// out owner moves -1 -> 0; if that fails a signaller has counted the signal
// and is about to wake it, so it waits for that wake-up instead of losing it.
#include "base/wait.h"

#include <atomic>

namespace {

constexpr uint32_t MAX_POLL_MS = 20;

bool is_unlimited(int32_t timeout_ms) {
  return timeout_ms == -1 || static_cast<uint32_t>(timeout_ms) >= 0x7FFFFFFFu;
}

bool signaller_done(WaitBlock* block) {
  return std::atomic_ref<uint32_t>(block->reserved).load(std::memory_order_acquire) != 0;
}

// Without an event node the owner polls. A signaller marks `reserved` as its
// last touch of the block, so the owner never returns while a signaller may
// still read it.
bool wait_polling(WaitBlock* block, bool unlimited, uint64_t deadline) {
  std::atomic_ref<int32_t> state(block->state);
  uint32_t pause = 1;
  for (;;) {
    if (signaller_done(block)) return true;
    uint32_t nap = pause;
    if (!unlimited) {
      const uint64_t now = tick_ms();
      if (now >= deadline) {
        int32_t expected = -1;
        if (state.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
        // A signaller counted the signal and is about to mark the block.
        for (uint32_t rounds = 0; !signaller_done(block);) spin_pause(&rounds);
        return true;
      }
      if (deadline - now < nap) nap = static_cast<uint32_t>(deadline - now);
    }
    os_sleep_ms(nap, false);
    if (pause < MAX_POLL_MS) pause = pause * 2 > MAX_POLL_MS ? MAX_POLL_MS : pause * 2;
  }
}

bool wait_event(WaitBlock* block, bool unlimited, uint64_t deadline, bool alertable) {
  std::atomic_ref<int32_t> state(block->state);
  const OsHandle event = block->node->event;
  for (;;) {
    uint32_t wait_ms = OS_WAIT_INFINITE;
    if (!unlimited) {
      const uint64_t now = tick_ms();
      wait_ms = now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
    }
    const int rc = wait_ms == 0 ? OS_WAIT_TIMEOUT : os_event_wait(event, wait_ms, alertable);
    if (rc == OS_WAIT_SIGNALED) return true;
    if (rc == OS_WAIT_TIMEOUT || (!unlimited && tick_ms() >= deadline)) {
      int32_t expected = -1;
      if (state.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
      while (os_event_wait(event, OS_WAIT_INFINITE, false) != OS_WAIT_SIGNALED) {
      }
      return true;
    }
  }
}

void give_back(WaitBlock* block) {
  if (!block->node) return;
  os_event_clear(block->node->event);
  event_node_push(block->node, block->cache);
  block->node = nullptr;
}

}  // namespace

bool wait_block_wait(WaitBlock* block, int32_t timeout_ms, bool alertable) {
  std::atomic_ref<int32_t> state(block->state);
  if (state.load(std::memory_order_acquire) == 0 && !block->node) {
    block->node = event_node_take(&block->cache);
  }
  const bool unlimited = is_unlimited(timeout_ms);
  const uint64_t deadline = unlimited ? 0 : tick_ms() + static_cast<uint32_t>(timeout_ms);
  int32_t expected = 0;
  // Publishes the node to the signaller together with the -1.
  if (!state.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    give_back(block);
    return true;
  }
  const bool signalled = block->node ? wait_event(block, unlimited, deadline, alertable)
                                     : wait_polling(block, unlimited, deadline);
  give_back(block);
  return signalled;
}

void wait_block_signal(WaitBlock* block) {
  std::atomic_ref<int32_t> state(block->state);
  if (state.fetch_add(1, std::memory_order_acq_rel) != -1) return;
  // The owner is waiting and stays until woken, so the block is still alive.
  if (EventNode* node = block->node) {
    os_event_set(node->event);
  } else {
    std::atomic_ref<uint32_t>(block->reserved).store(1, std::memory_order_release);
  }
}
