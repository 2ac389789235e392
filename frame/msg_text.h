// Named message texts: a process-wide table of texts registered by key (keys
// compare without ASCII case), expanded with %(name) for other texts and %1..%9
// for positional arguments, and printed line by line to the message sink with
// the platform's line end. Used by the command frame for its banner and help.
// Registration and printing happen on the main thread; nothing here is locked.
#pragma once

#include <cstddef>

#include "base/scratch.h"

// Text used in place of a result that could not be allocated.
extern const char MESSAGE_USERTEXT_ERROR[];

// Where message_print writes: one operation, write(sink, text, line_end).
struct MessageSink;
struct MessageSinkOps {
  void (*write)(MessageSink* sink, const char* text, bool line_end);
};
struct MessageSink {
  const MessageSinkOps* ops;
};

// The sink that writes to standard output, asking for the handle at each call.
MessageSink* message_stdout_sink();
// Makes `sink` the current sink (null: standard output); returns the previous one.
MessageSink* message_set_sink(MessageSink* sink);

// Runs the module's initialisation once: empties the table and the pool and
// schedules their release at exit. Every operation below calls it first.
void message_init();

// Registers `text` under `key` (both copied). An existing key keeps its text
// unless replace mode is on. Lost silently when memory runs out.
void message_set(const char* key, const char* text);
// The same for a UTF-16 text.
void message_set_wide(const char* key, const char16_t* text);
// Turns replace mode on (non-zero) or off; returns the previous mode.
int message_set_replace_mode(int mode);

// The text registered under `key`, or `key` itself. Not a copy.
const char* message_lookup(const char* key);

// Expands `templ` (looked up as a key first) into `buffer` of `capacity` bytes
// and returns the full length. *out_direct receives a text that can be used
// without a copy (templ's own text when it holds no '%', or "" when empty), or
// null. `depth` counts the nesting; named texts below five levels are expanded.
size_t message_expand(int* depth, char* buffer, size_t capacity, const char** out_direct,
                      const char* templ, int count, const char* const* args);

// The expanded text, from `pool` or returned directly when no copy is needed.
// MESSAGE_USERTEXT_ERROR when memory runs out for a long result.
const char* message_format(ScratchPool* pool, const char* templ, int count,
                           const char* const* args);
const char* message_format0(ScratchPool* pool, const char* templ);
const char* message_format1(ScratchPool* pool, const char* templ, const char* arg);

// Writes `text` to the current sink line by line (each line feed written as the
// platform's line end; a carriage return before it is dropped).
void message_print(const char* text);

// Registers the locale defaults and replaces them from the user's locale.
void load_locale_texts();
