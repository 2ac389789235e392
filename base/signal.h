// Signals: latched notification objects with one-shot observers, the table of
// well-known signals (SIGNAL_INTERRUPT carries every request to stop), waiting
// for a signal with a cancel signal and a time-out, and event nodes that watch
// a signal. A zero-filled Signal is a valid regular signal, not set.
#pragma once

#include <cstdint>

#include "base/runtime.h"

struct Signal;

// The operations of a signal kind (regular, or constant whose set and reset do
// nothing). Reached only through the signal_* wrappers below.
struct SignalOps {
  void (*set)(Signal* s);
  void (*reset)(Signal* s);
  bool (*add_observer)(Signal* s, void (*callback)(SignalObserver*), SignalObserver* observer);
  bool (*remove_observer)(Signal* s, SignalObserver* observer);
  bool (*is_set)(Signal* s);
};

// A latched notification object. Thread-safe; observers are called outside
// the signal's lock, so they may take other locks or set other signals.
struct Signal {
  const SignalOps* ops;   // null until first use: then the regular kind
  uint8_t latched;        // the flag
  Lock lock;              // guards the flag's changes and the list
  SignalObserver* head;   // newest observer first
};

// The well-known signals by index (0..21); the rest have no user here.
enum : uint32_t {
  SIGNAL_NEVER = 0,          // constant, never set
  SIGNAL_INTERRUPT = 1,      // every outside request to stop
  SIGNAL_STARTED = 3,        // set when the table is created
  SIGNAL_SHUTDOWN = 5,       // set by the runtime's exit handler before threads are reaped
  SIGNAL_SHUTDOWN_DONE = 6,  // set once all threads are reaped
  SIGNAL_EXIT = 7,           // set by the last runtime exit handler
  SIGNAL_ALWAYS = 21,        // constant, always set
  SIGNAL_COUNT = 22,
};

// Makes `s` a regular signal, not set, without observers. REQUIRES: nobody uses it.
void signal_init(Signal* s);
// The kind table of `s`, installing the regular kind on a zero-filled signal.
const SignalOps* signal_ops(Signal* s);

// Sets the flag and calls every observer once, oldest registration first; no
// effect when already set or constant.
inline void signal_set(Signal* s) { signal_ops(s)->set(s); }
// Clears the flag and, set or not, calls every observer once (a pulse); no
// effect on a constant signal.
inline void signal_reset(Signal* s) { signal_ops(s)->reset(s); }
// Links `observer` so that `callback(observer)` runs at the next set or reset.
// Returns false, linking nothing, when the signal is set already (the caller
// then runs the callback itself). The callback must clear observer->callback
// as its very last access.
inline bool signal_add_observer(Signal* s, void (*callback)(SignalObserver*),
                                SignalObserver* observer) {
  return signal_ops(s)->add_observer(s, callback, observer);
}
// Unlinks `observer`. Returns true when it was still linked (its callback will
// not run), false when its callback has run or is running.
inline bool signal_remove_observer(Signal* s, SignalObserver* observer) {
  return signal_ops(s)->remove_observer(s, observer);
}
// Waits, without sleeping, until the callback of an observer that
// signal_remove_observer could no longer unlink has cleared its field, after
// which the observer's storage may end.
void signal_observer_await(SignalObserver* observer);
// Returns the flag.
inline bool signal_is_set(Signal* s) { return signal_ops(s)->is_set(s); }

// The well-known signal `index` (above 20: SIGNAL_ALWAYS), creating the table
// on first use.
Signal* signal_get(uint32_t index);

// Waits until `s` is set or reset, `cancel` (optional) is set, or `timeout_ms`
// passes (-1: no limit). Returns true when `s` was set or reset while waiting
// or was set already, false when cancelled or timed out. Alertable.
bool signal_wait(Signal* s, Signal* cancel, int32_t timeout_ms);

// Arms `node` on `s`: its event is set (and then fired) when `s` is set or
// reset, at once if it is set already. Null arguments do nothing.
void event_node_arm(EventNode* node, Signal* s);
// Undoes event_node_arm; if the callback already runs, waits until it has
// fired, then clears the event. Null arguments do nothing.
void event_node_disarm(EventNode* node, Signal* s);
// The node's event, or OS_NO_HANDLE for no node.
OsHandle event_node_handle(EventNode* node);
