// Signals and their observers. Observers live on their owners' stacks, so a
// notification detaches them under the lock and calls them afterwards, and an
// owner that finds its observer already detached waits until the callback
// has cleared the observer's callback field before its frame may end.
#include "base/signal.h"

#include <atomic>
#include <cstddef>

#include "base/lock.h"
#include "base/wait.h"

namespace {

using Callback = void (*)(SignalObserver*);

std::atomic_ref<uint8_t> flag_of(Signal* s) { return std::atomic_ref<uint8_t>(s->latched); }
std::atomic_ref<Callback> callback_of(SignalObserver* o) {
  return std::atomic_ref<Callback>(o->callback);
}

// Sets the flag to `value` and calls every observer; `pulse_always` also
// notifies when the flag already had that value.
void notify(Signal* s, uint8_t value, bool pulse_always) {
  lock_acquire(&s->lock);
  if (!pulse_always && flag_of(s).load(std::memory_order_relaxed) == value) {
    lock_release(&s->lock);
    return;
  }
  flag_of(s).store(value, std::memory_order_release);
  SignalObserver* oldest_first = nullptr;
  for (SignalObserver* o = s->head; o;) {
    SignalObserver* next = o->next;
    o->back = nullptr;
    o->next = oldest_first;
    oldest_first = o;
    o = next;
  }
  s->head = nullptr;
  lock_release(&s->lock);
  for (SignalObserver* o = oldest_first; o;) {
    // The callback may end the observer's lifetime.
    SignalObserver* next = o->next;
    Callback cb = callback_of(o).load(std::memory_order_acquire);
    if (cb) cb(o);
    o = next;
  }
}

void regular_set(Signal* s) { notify(s, 1, false); }
void regular_reset(Signal* s) { notify(s, 0, true); }
void constant_set(Signal*) {}
void constant_reset(Signal*) {}

bool any_add_observer(Signal* s, Callback callback, SignalObserver* o) {
  callback_of(o).store(nullptr, std::memory_order_relaxed);
  o->back = nullptr;
  lock_acquire(&s->lock);
  const bool linked = flag_of(s).load(std::memory_order_relaxed) == 0;
  if (linked) {
    callback_of(o).store(callback, std::memory_order_relaxed);
    o->next = s->head;
    if (s->head) s->head->back = &o->next;
    o->back = &s->head;
    s->head = o;
  }
  lock_release(&s->lock);
  return linked;
}

bool any_remove_observer(Signal* s, SignalObserver* o) {
  lock_acquire(&s->lock);
  const bool linked = o->back != nullptr;
  if (linked) {
    *o->back = o->next;
    if (o->next) o->next->back = o->back;
    o->back = nullptr;
    o->next = nullptr;
  }
  lock_release(&s->lock);
  return linked;
}

bool any_is_set(Signal* s) { return flag_of(s).load(std::memory_order_acquire) != 0; }

const SignalOps REGULAR_OPS = {regular_set, regular_reset, any_add_observer,
                               any_remove_observer, any_is_set};
const SignalOps CONSTANT_OPS = {constant_set, constant_reset, any_add_observer,
                                any_remove_observer, any_is_set};

Signal g_signals[SIGNAL_COUNT];
uint32_t g_signals_ready = 0;

void signal_exit_handler() { signal_set(&g_signals[SIGNAL_EXIT]); }

void create_table() {
  bool created = false;
  address_lock(&g_signals_ready);
  if (std::atomic_ref<uint32_t>(g_signals_ready).load(std::memory_order_acquire) == 0) {
    for (Signal& s : g_signals) signal_init(&s);
    g_signals[SIGNAL_NEVER].ops = &CONSTANT_OPS;
    g_signals[SIGNAL_ALWAYS].ops = &CONSTANT_OPS;
    g_signals[SIGNAL_ALWAYS].latched = 1;
    signal_set(&g_signals[SIGNAL_STARTED]);
    std::atomic_ref<uint32_t>(g_signals_ready).store(1, std::memory_order_seq_cst);
    created = true;
  }
  address_unlock(&g_signals_ready);
  if (created) (void)os_exit_handler_add(signal_exit_handler);
}


struct SignalWaitState {
  WaitBlock wait;
  SignalObserver on_signal;
  SignalObserver on_cancel;
  int32_t woken;
  uint8_t notified;
};

void wake_once(SignalWaitState* st) {
  int32_t expected = 0;
  if (std::atomic_ref<int32_t>(st->woken).compare_exchange_strong(expected, 1,
                                                                  std::memory_order_acq_rel)) {
    wait_block_signal(&st->wait);
  }
}

void on_signal(SignalObserver* o) {
  auto* st = reinterpret_cast<SignalWaitState*>(reinterpret_cast<char*>(o) -
                                                offsetof(SignalWaitState, on_signal));
  std::atomic_ref<uint8_t>(st->notified).store(1, std::memory_order_release);
  wake_once(st);
  callback_of(o).store(nullptr, std::memory_order_release);
}

void on_cancel(SignalObserver* o) {
  auto* st = reinterpret_cast<SignalWaitState*>(reinterpret_cast<char*>(o) -
                                                offsetof(SignalWaitState, on_cancel));
  wake_once(st);
  callback_of(o).store(nullptr, std::memory_order_release);
}

void event_node_fire(SignalObserver* o) {
  auto* node = reinterpret_cast<EventNode*>(o);
  os_event_set(node->event);
  std::atomic_ref<uint8_t>(node->fired).store(1, std::memory_order_release);
}

}  // namespace

void signal_init(Signal* s) {
  s->ops = &REGULAR_OPS;
  s->latched = 0;
  s->lock = Lock{};
  s->head = nullptr;
}

const SignalOps* signal_ops(Signal* s) {
  std::atomic_ref<const SignalOps*> ops(s->ops);
  const SignalOps* seen = ops.load(std::memory_order_acquire);
  if (seen) return seen;
  if (ops.compare_exchange_strong(seen, &REGULAR_OPS, std::memory_order_acq_rel)) {
    return &REGULAR_OPS;
  }
  return seen;
}

Signal* signal_get(uint32_t index) {
  if (std::atomic_ref<uint32_t>(g_signals_ready).load(std::memory_order_acquire) == 0) {
    create_table();
  }
  return &g_signals[index > SIGNAL_ALWAYS - 1 ? SIGNAL_ALWAYS : index];
}

bool signal_wait(Signal* s, Signal* cancel, int32_t timeout_ms) {
  SignalWaitState st{};
  if (!signal_add_observer(s, on_signal, &st.on_signal)) on_signal(&st.on_signal);
  if (cancel && !signal_add_observer(cancel, on_cancel, &st.on_cancel)) {
    on_cancel(&st.on_cancel);
  }
  (void)wait_block_wait(&st.wait, timeout_ms, true);
  if (!signal_remove_observer(s, &st.on_signal)) signal_observer_await(&st.on_signal);
  if (cancel && !signal_remove_observer(cancel, &st.on_cancel)) {
    signal_observer_await(&st.on_cancel);
  }
  return std::atomic_ref<uint8_t>(st.notified).load(std::memory_order_acquire) != 0;
}

void event_node_arm(EventNode* node, Signal* s) {
  if (!node || !s) return;
  std::atomic_ref<uint8_t>(node->armed).store(1, std::memory_order_relaxed);
  if (!signal_add_observer(s, event_node_fire, &node->observer)) event_node_fire(&node->observer);
}

void event_node_disarm(EventNode* node, Signal* s) {
  if (!node || !s) return;
  std::atomic_ref<uint8_t> armed(node->armed);
  std::atomic_ref<uint8_t> fired(node->fired);
  if (signal_remove_observer(s, &node->observer)) {
    armed.store(0, std::memory_order_relaxed);
    return;
  }
  if (armed.load(std::memory_order_relaxed) == 0) return;
  // Detached by a notification whose callback is about to set the event.
  for (uint32_t rounds = 0; fired.load(std::memory_order_acquire) == 0;) spin_pause(&rounds);
  os_event_clear(node->event);
  armed.store(0, std::memory_order_relaxed);
  fired.store(0, std::memory_order_relaxed);
}

void signal_observer_await(SignalObserver* o) {
  for (uint32_t rounds = 0; callback_of(o).load(std::memory_order_acquire) != nullptr;) {
    spin_pause(&rounds);
  }
}

OsHandle event_node_handle(EventNode* node) { return node ? node->event : OS_NO_HANDLE; }
