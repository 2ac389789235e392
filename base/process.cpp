// Process context: values asked of the platform once and cached.
#include "base/process.h"

#include <atomic>
#include <cstdlib>

#include "base/lock.h"
#include "base/path.h"
#include "base/text.h"
#include "base/utf.h"
#include "platform/platform.h"

namespace {

// The platform answers in UTF-8 into buffers this large (PATH_MAX-sized where
// the original asked for 300 units).
constexpr size_t PROCESS_TEXT_MAX = 4097;

const char16_t FALLBACK_PROGRAM_PATH[] = u"\\_";
const char16_t FALLBACK_NAME[] = u"_";
const char16_t FALLBACK_FOLDER[] = u"\\";
const char16_t FALLBACK_USER[] = u"?";
const char FALLBACK_NAME_UTF8[] = "_";
const char* const FALLBACK_ARGV_UTF8[] = {".", nullptr};
const char16_t* const FALLBACK_ARGV_WIDE[] = {u".", nullptr};

std::atomic<const char16_t*> g_program_path{nullptr};
std::atomic<const char16_t*> g_program_name{nullptr};
std::atomic<const char16_t*> g_current_folder{nullptr};
std::atomic<const char16_t*> g_user_name{nullptr};
std::atomic<bool> g_wide_cleanup_registered{false};

int g_argc = 0;
char** g_argv = nullptr;                   // heap block in pool_utf8_argv layout
const char16_t* const* g_argv_wide = nullptr;
char16_t** g_argv_wide_owned = nullptr;    // heap block when derived from UTF-8
bool g_args_fallback = false;

Lock g_utf8_lock;
const char* g_program_name_utf8 = nullptr;
bool g_program_name_utf8_kept = false;
bool g_utf8_cleanup_done = false;
bool g_utf8_cleanup_registered = false;

bool is_fallback(const char16_t* value) {
  return value == FALLBACK_PROGRAM_PATH || value == FALLBACK_NAME || value == FALLBACK_FOLDER ||
         value == FALLBACK_USER;
}

void release_slot(std::atomic<const char16_t*>& slot, const char16_t* fallback) {
  const char16_t* old = slot.exchange(fallback);
  if (old && !is_fallback(old)) heap_free(const_cast<char16_t*>(old));
}

void cleanup_wide() {
  release_slot(g_program_path, FALLBACK_PROGRAM_PATH);
  release_slot(g_program_name, FALLBACK_NAME);
  release_slot(g_current_folder, FALLBACK_FOLDER);
  release_slot(g_user_name, FALLBACK_USER);
  if (!g_args_fallback) {
    heap_free(g_argv);
    heap_free(g_argv_wide_owned);
  }
  g_args_fallback = true;
  g_argc = 1;
  g_argv = const_cast<char**>(FALLBACK_ARGV_UTF8);
  g_argv_wide = FALLBACK_ARGV_WIDE;
  g_argv_wide_owned = nullptr;
}

void register_wide_cleanup() {
  bool expected = false;
  if (g_wide_cleanup_registered.compare_exchange_strong(expected, true)) std::atexit(cleanup_wide);
}

void cleanup_utf8() {
  lock_acquire(&g_utf8_lock);
  const char* kept = g_program_name_utf8_kept ? g_program_name_utf8 : nullptr;
  g_utf8_cleanup_done = true;
  g_program_name_utf8 = FALLBACK_NAME_UTF8;
  g_program_name_utf8_kept = false;
  lock_release(&g_utf8_lock);
  heap_free(const_cast<char*>(kept));
}

// Publishes a value once: the first thread's copy wins, losers free theirs.
const char16_t* publish_once(std::atomic<const char16_t*>& slot, char16_t* value,
                             const char16_t* fallback) {
  const char16_t* expected = nullptr;
  const char16_t* candidate = value ? value : fallback;
  if (!slot.compare_exchange_strong(expected, candidate)) heap_free(value);
  register_wide_cleanup();
  return slot.load();
}

// A heap UTF-16 copy of a UTF-8 answer, or null for a failed or empty answer.
char16_t* wide_copy(int rc, const char* text) {
  if (rc != 0 || text_is_empty(text)) return nullptr;
  const size_t units = wide_from_utf8_len(text, SIZE_MAX);
  char16_t* copy = heap_wide_buffer(units + 1);
  if (copy) wide_from_utf8(copy, units + 1, text);
  return copy;
}

template <int (*Query)(char*, size_t, size_t*)>
const char16_t* cached_value(std::atomic<const char16_t*>& slot, const char16_t* fallback) {
  if (const char16_t* value = slot.load()) return value;
  char buffer[PROCESS_TEXT_MAX];
  size_t length = 0;
  const int rc = Query(buffer, sizeof buffer, &length);
  return publish_once(slot, wide_copy(rc, buffer), fallback);
}

// Frees an earlier recording (the entry records once; tests record again).
void forget_arguments() {
  if (!g_args_fallback) {
    heap_free(g_argv);
    heap_free(g_argv_wide_owned);
  }
  g_args_fallback = false;
  g_argv = nullptr;
  g_argv_wide = nullptr;
  g_argv_wide_owned = nullptr;
}

}  // namespace

void process_setup() { os_process_setup(); }

void process_record_platform_arguments(int argc, const char* const* argv) {
  int wide_count = 0;
  if (const char16_t* const* wide = os_wide_arguments(&wide_count)) {
    process_record_arguments(wide_count, wide);
  } else {
    process_record_arguments_utf8(argc, argv);
  }
}

int locale_query(int item, char* buffer, size_t capacity) {
  return os_locale_query(item, buffer, capacity);
}

void process_record_arguments(int count, const char16_t* const* wide) {
  char** argv = pool_utf8_argv(&g_heap_allocator, wide);
  if (!argv) return;
  forget_arguments();
  g_argc = count;
  g_argv = argv;
  g_argv_wide = wide;
  register_wide_cleanup();
}

void process_record_arguments_utf8(int count, const char* const* argv) {
  // The UTF-8 vector: a copy of the bytes as given, in the same one-block layout.
  size_t bytes = (count + 1) * sizeof(char*) + 1;
  size_t units = (count + 1) * sizeof(char16_t*) + sizeof(char16_t);
  for (int i = 0; i < count; i++) {
    bytes += text_len(argv[i]) + 1;
    units += (wide_from_utf8_len(argv[i], SIZE_MAX) + 1) * sizeof(char16_t);
  }
  auto* block = static_cast<char*>(allocate(&g_heap_allocator, bytes));
  auto* wide_block = static_cast<char*>(allocate(&g_heap_allocator, units));
  if (!block || !wide_block) {
    heap_free(block);
    heap_free(wide_block);
    return;
  }
  char** copy = reinterpret_cast<char**>(block);
  char* text = block + (count + 1) * sizeof(char*);
  auto** wide = reinterpret_cast<char16_t**>(wide_block);
  auto* wide_text = reinterpret_cast<char16_t*>(wide_block + (count + 1) * sizeof(char16_t*));
  for (int i = 0; i < count; i++) {
    const size_t n = text_len(argv[i]);
    bytes_move(text, argv[i], n);
    copy[i] = text;
    text += n + 1;
    const size_t w = wide_from_utf8_len(argv[i], SIZE_MAX);
    wide_from_utf8(wide_text, w + 1, argv[i]);
    wide[i] = wide_text;
    wide_text += w + 1;
  }
  forget_arguments();
  g_argc = count;
  g_argv = copy;
  g_argv_wide = wide;
  g_argv_wide_owned = wide;
  register_wide_cleanup();
}

char** process_arguments(int* out_count) {
  if (out_count) *out_count = g_argv ? g_argc : 0;
  return g_argv;
}

const char16_t* const* process_arguments_wide(int* out_count) {
  if (out_count) *out_count = g_argv_wide ? g_argc : 0;
  return g_argv_wide;
}

const char16_t* program_file_path() {
  return cached_value<os_program_file>(g_program_path, FALLBACK_PROGRAM_PATH);
}

char* program_name_from_path(Allocator* pool, const char* path, const PathSyntax* syntax) {
  size_t name_start = 0;
  if (text_is_empty(path) || path_split(path, nullptr, nullptr, &name_start, syntax) != 0) {
    return nullptr;
  }
  // The extension starts at the last '.', unless that '.' opens the name.
  const char* base = path + name_start;
  size_t end = text_len(base);
  for (size_t i = end; i > 1; i--) {
    if (base[i - 1] == '.') {
      end = i - 1;
      break;
    }
  }
  return end ? pool_copy_text(pool, base, end) : nullptr;
}

const char16_t* program_name_wide() {
  if (const char16_t* value = g_program_name.load()) return value;
  const char16_t* path = program_file_path();
  char16_t* name = nullptr;
  if (path != FALLBACK_PROGRAM_PATH) {
    ScratchPool pool;
    name = wide_copy(0, program_name_from_path(&pool, pool_utf8_from_wide(&pool, path), nullptr));
  }
  return publish_once(g_program_name, name, FALLBACK_NAME);
}

const char* program_name() {
  lock_acquire(&g_utf8_lock);
  if (g_program_name_utf8) {
    const char* value = g_program_name_utf8;
    lock_release(&g_utf8_lock);
    return value;
  }
  const bool done = g_utf8_cleanup_done;
  lock_release(&g_utf8_lock);
  char* copy = done ? nullptr : pool_utf8_from_wide(&g_heap_allocator, program_name_wide());
  lock_acquire(&g_utf8_lock);
  bool register_cleanup = false;
  bool kept = false;
  if (!g_program_name_utf8) {
    if (copy && !g_utf8_cleanup_done) {
      g_program_name_utf8 = copy;
      g_program_name_utf8_kept = true;
      kept = true;
    } else {
      g_program_name_utf8 = FALLBACK_NAME_UTF8;
    }
    if (!g_utf8_cleanup_registered && !g_utf8_cleanup_done) {
      g_utf8_cleanup_registered = true;
      register_cleanup = true;
    }
  }
  const char* value = g_program_name_utf8;
  lock_release(&g_utf8_lock);
  if (register_cleanup) std::atexit(cleanup_utf8);
  if (!kept) heap_free(copy);
  return value;
}

const char16_t* current_folder_wide() {
  return cached_value<os_current_folder>(g_current_folder, FALLBACK_FOLDER);
}

const char16_t* user_name() { return cached_value<os_user_name>(g_user_name, FALLBACK_USER); }
