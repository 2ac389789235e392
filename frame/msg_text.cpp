// The message table (an ordered index keyed without ASCII case), expansion of
// %(name) and %1..%9, and line-by-line printing to the message sink.
#include "frame/msg_text.h"

#include <cstdlib>

#include "base/file.h"
#include "base/fmt.h"
#include "base/jindex.h"
#include "base/process.h"
#include "base/text.h"
#include "base/utf.h"
#include "platform/platform.h"

const char MESSAGE_USERTEXT_ERROR[] = "usertext_error";

namespace {

// One registered text: index node, then key and text, each terminated.
struct TextEntry {
  JiNode node;
  char bytes[1];  // key, 0, text, 0
  const char* key() const { return bytes; }
  const char* text() const { return bytes + text_len(bytes) + 1; }
};

JiNode* g_table = nullptr;
ScratchPool g_pool;
bool g_initialised = false;
int g_replace_mode = 0;
MessageSink* g_sink = nullptr;

// Expansion below this many named levels; deeper names are inserted raw.
constexpr int MESSAGE_MAX_DEPTH = 5;

int compare_key(const void* key, const JiNode* node) {
  const auto* entry = reinterpret_cast<const TextEntry*>(node);
  return text_compare_nocase(static_cast<const char*>(key), SIZE_MAX, entry->key(), SIZE_MAX);
}

void release_messages() {
  g_table = nullptr;
  release_all(&g_pool);
}

void stdout_write(MessageSink*, const char* text, bool line_end) {
  const OsHandle out = standard_output();
  if (out == 0 || out == OS_NO_HANDLE) return;
  ScratchPool pool;
  const char* bytes = line_end ? pool_format(&pool, "%s%s", text, OS_LINE_END) : text;
  if (bytes) (void)write_text(out, bytes);
}

const MessageSinkOps STDOUT_SINK_OPS = {stdout_write};
MessageSink g_stdout_sink = {&STDOUT_SINK_OPS};

}  // namespace

MessageSink* message_stdout_sink() { return &g_stdout_sink; }

MessageSink* message_set_sink(MessageSink* sink) {
  MessageSink* previous = g_sink ? g_sink : &g_stdout_sink;
  g_sink = sink;
  return previous;
}

void message_init() {
  if (g_initialised) return;
  g_initialised = true;
  g_table = nullptr;
  release_all(&g_pool);
  std::atexit(release_messages);
}

int message_set_replace_mode(int mode) {
  message_init();
  const int previous = g_replace_mode;
  g_replace_mode = mode;
  return previous;
}

void message_set(const char* key, const char* text) {
  message_init();
  const size_t key_len = text_len(key);
  const size_t text_bytes = text_len(text);
  auto* entry = static_cast<TextEntry*>(
      allocate(&g_pool, offsetof(TextEntry, bytes) + key_len + 1 + text_bytes + 1));
  if (!entry) return;
  bytes_move(entry->bytes, key, key_len);
  bytes_move(entry->bytes + key_len + 1, text, text_bytes);
  JiNode* existing = ji_insert_unique(&g_table, compare_key, entry->key(), &entry->node);
  if (existing && g_replace_mode) {
    ji_remove_node(&g_table, compare_key, entry->key(), existing);
    ji_insert_multi(&g_table, compare_key, entry->key(), &entry->node);
  }
}

void message_set_wide(const char* key, const char16_t* text) {
  ScratchPool pool;
  message_set(key, pool_utf8_from_wide(&pool, text));
}

const char* message_lookup(const char* key) {
  message_init();
  JiNode* node = ji_lookup(&g_table, compare_key, text_or_empty(key));
  return node ? reinterpret_cast<TextEntry*>(node)->text() : key;
}

size_t message_expand(int* depth, char* buffer, size_t capacity, const char** out_direct,
                      const char* templ, int count, const char* const* args) {
  ++*depth;
  ScratchPool pool;
  const char* t = text_or_empty(message_lookup(templ));
  bool direct = true;
  size_t n = 0;
  auto out = [&](char c) {
    if (n < capacity) buffer[n] = c;
    n++;
  };
  auto out_text = [&](const char* s) {
    for (s = text_or_empty(s); *s; s++) out(*s);
  };
  for (size_t i = 0; t[i];) {
    if (t[i] != '%') {
      out(t[i++]);
      continue;
    }
    direct = false;
    const char c = t[i + 1];
    if (c == 0) break;  // a lone '%' at the end is dropped
    i += 2;
    if (c == '(') {
      size_t end = i;
      while (t[end] && t[end] != ')') end++;
      const char* name = pool_copy_text(&pool, t + i, end - i);
      i = t[end] ? end + 1 : end;
      const char* value;
      if (!name) {
        value = MESSAGE_USERTEXT_ERROR;
      } else if (*depth > MESSAGE_MAX_DEPTH) {
        value = message_lookup(name);
      } else {
        const char* inner_direct = nullptr;
        const size_t length = message_expand(depth, nullptr, 0, &inner_direct, name, count, args);
        if (inner_direct) {
          value = inner_direct;
        } else {
          char* block = static_cast<char*>(allocate(&pool, length + 1));
          if (block) {
            message_expand(depth, block, length + 1, &inner_direct, name, count, args);
            value = block;
          } else {
            value = MESSAGE_USERTEXT_ERROR;
          }
        }
      }
      out_text(value);
    } else if (c >= '1' && c <= '9') {
      const int index = c - '1';
      out_text(index < count && args && args[index] ? args[index] : message_lookup("missing_arg"));
    } else {
      out(c);
    }
  }
  if (n < capacity) {
    buffer[n] = 0;
  } else if (capacity) {
    buffer[capacity - 1] = 0;
  }
  if (out_direct) *out_direct = n == 0 ? "" : direct ? t : nullptr;
  --*depth;
  return n;
}

const char* message_format(ScratchPool* pool, const char* templ, int count,
                           const char* const* args) {
  int depth = 0;
  char local[100];
  const char* direct = nullptr;
  const size_t n = message_expand(&depth, local, sizeof local, &direct, templ, count, args);
  if (direct) return direct;
  if (n < sizeof local) return pool_copy_text(pool, local);
  char* block = static_cast<char*>(allocate(pool, n + 1));
  if (!block) return MESSAGE_USERTEXT_ERROR;
  message_expand(&depth, block, n + 1, &direct, templ, count, args);
  return block;
}

const char* message_format0(ScratchPool* pool, const char* templ) {
  return message_format(pool, templ, 0, nullptr);
}

const char* message_format1(ScratchPool* pool, const char* templ, const char* arg) {
  return message_format(pool, templ, 1, &arg);
}

void message_print(const char* text) {
  message_init();
  MessageSink* sink = g_sink ? g_sink : &g_stdout_sink;
  if (text_is_empty(text)) {
    sink->ops->write(sink, text_or_empty(text), false);
    return;
  }
  size_t start = 0;
  for (size_t i = 0; text[i]; i++) {
    if (text[i] != '\n') continue;
    size_t end = i;
    if (end > start && text[end - 1] == '\r') end--;
    ScratchPool pool;
    const char* line = pool_copy_text(&pool, text + start, end - start);
    if (line) sink->ops->write(sink, line, true);
    start = i + 1;
  }
  if (text[start]) sink->ops->write(sink, text + start, false);
}

void load_locale_texts() {
  message_init();
  message_set("locale_neg_format", "-%1");
  message_set("locale_thous_sep", ",");
  message_set("locale_thous_grouping", "3;0");
  message_set("locale_decimal", ".");
  message_set("locale_time_sep", ":");
  const int previous = message_set_replace_mode(1);
  ScratchPool pool;
  char value[64];
  // Keeps only the first character of a locale text.
  auto first_char = [&](char* s) {
    size_t next = 0;
    utf8_decode(s, text_len(s), 0, &next);
    s[next] = 0;
    return s;
  };
  char sign[8] = "-";
  if (locale_query(OS_LOCALE_NEGATIVE_SIGN, value, sizeof value) == 0) {
    text_copy_bounded(sign, sizeof sign, first_char(value), SIZE_MAX);
  }
  if (locale_query(OS_LOCALE_NEGATIVE_MODE, value, sizeof value) == 0) {
    const char* format = nullptr;
    switch (text_len(value) ? atoi(value) : -1) {
      case 0: format = pool_format(&pool, "(%%1)"); break;
      case 2: format = pool_format(&pool, "%s %%1", sign); break;
      case 3: format = pool_format(&pool, "%%1%s", sign); break;
      case 4: format = pool_format(&pool, "%%1 %s", sign); break;
      default: break;
    }
    if (format) message_set("locale_neg_format", format);
  }
  if (locale_query(OS_LOCALE_THOUSANDS_SEP, value, sizeof value) == 0) {
    message_set("locale_thous_sep", first_char(value));
  }
  if (locale_query(OS_LOCALE_GROUPING, value, sizeof value) == 0) {
    value[49] = 0;
    message_set("locale_thous_grouping", value);
  }
  if (locale_query(OS_LOCALE_DECIMAL_SEP, value, sizeof value) == 0) {
    message_set("locale_decimal", first_char(value));
  }
  if (locale_query(OS_LOCALE_TIME_SEP, value, sizeof value) == 0) {
    message_set("locale_time_sep", first_char(value));
  }
  message_set_replace_mode(previous);
}
