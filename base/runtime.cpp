// The runtime block, its event caches, page memory, the clock, sleeps and the
// fatal report. The block is carved from one allocation aligned to 64 bytes so
// that each cache sits alone on its line.
#include "base/runtime.h"

#include <atomic>
#include <cstring>
#include <new>

#include "base/fmt.h"
#include "base/lock.h"
#include "base/scratch.h"
#include "base/signal.h"
#include "base/thread.h"

namespace {

constexpr size_t PAGE_THRESHOLD = 4096;

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

EventCache* thread_cache(RuntimeBlock* rb) {
  return &rb->caches[runtime_hash(os_thread_id()) & (RUNTIME_EVENT_CACHES - 1)];
}

// The cache's ticket lock: held only for one push or pop, so spinning is cheap
// and nothing is ever taken inside it.
void cache_lock(EventCache* cache) {
  std::atomic_ref<uint64_t> word(cache->ticket);
  uint64_t old = word.load(std::memory_order_relaxed);
  while (!word.compare_exchange_weak(old, (old + (1u << 20)) & 0x7FF7FFFFu,
                                     std::memory_order_acquire, std::memory_order_relaxed)) {
  }
  const uint64_t mine = (old >> 20) & 0x7FF;
  while (((word.load(std::memory_order_acquire) >> 8) & 0x7FF) != mine) cpu_pause();
  std::atomic_ref<uint64_t>(cache->owner).store(os_thread_id(), std::memory_order_relaxed);
}

void cache_unlock(EventCache* cache) {
  std::atomic_ref<uint64_t>(cache->owner).store(0, std::memory_order_relaxed);
  std::atomic_ref<uint64_t> word(cache->ticket);
  uint64_t old = word.load(std::memory_order_relaxed);
  while (!word.compare_exchange_weak(old, (old + (1u << 8)) & 0x7FF7FF00u,
                                     std::memory_order_release, std::memory_order_relaxed)) {
  }
}

void node_destroy(EventNode* node) {
  os_event_close(node->event);
  page_free(node, sizeof(EventNode));
}

void runtime_exit_handler() { runtime_exit(); }

}  // namespace

RuntimeBlock* g_runtime_block = nullptr;
uint8_t g_runtime_started = 0;

uint32_t runtime_hash(uint64_t k) {
  k = (k << 18) - k - 1;
  k ^= k >> 31;
  k *= 21;
  k ^= k >> 11;
  k *= 65;
  k ^= k >> 22;
  return static_cast<uint32_t>(k);
}

void runtime_start() {
  if (runtime_block()) return;
  const size_t raw_size = sizeof(RuntimeBlock) + 64;
  void* raw = page_alloc(raw_size);
  if (!raw) return;
  std::memset(raw, 0, raw_size);
  auto aligned = (reinterpret_cast<uintptr_t>(raw) + 63) & ~static_cast<uintptr_t>(63);
  auto* rb = new (reinterpret_cast<void*>(aligned)) RuntimeBlock{};
  rb->raw = raw;
  rb->raw_size = raw_size;
  rb->finish_generation = 1;
  RuntimeBlock* expected = nullptr;
  if (!std::atomic_ref<RuntimeBlock*>(g_runtime_block)
           .compare_exchange_strong(expected, rb, std::memory_order_acq_rel)) {
    page_free(raw, raw_size);
    return;
  }
  std::atomic_ref<uint8_t>(g_runtime_started).store(1, std::memory_order_seq_cst);
  // The signal table registers its own exit handler first, so SIGNAL_EXIT is
  // set after the runtime's handler has reaped the threads.
  (void)signal_get(1);
  (void)os_exit_handler_add(runtime_exit_handler);
}

void runtime_exit() {
  RuntimeBlock* rb = runtime_block();
  if (!rb) return;
  threads_reap_all();
  std::atomic_ref<RuntimeBlock*>(g_runtime_block).store(nullptr, std::memory_order_seq_cst);
  for (EventCache& cache : rb->caches) {
    EventNode* node = cache.free_head;
    while (node) {
      EventNode* next = node->free_next;
      node_destroy(node);
      node = next;
    }
    cache.free_head = nullptr;
  }
  page_free(rb->raw, rb->raw_size);
}

EventNode* event_node_take(EventCache** out_cache) {
  if (!runtime_started()) runtime_start();
  RuntimeBlock* rb = runtime_block();
  if (!rb) return nullptr;
  EventCache* cache = thread_cache(rb);
  if (out_cache) *out_cache = cache;
  cache_lock(cache);
  EventNode* node = cache->free_head;
  if (node) cache->free_head = node->free_next;
  cache_unlock(cache);
  if (node) {
    node->free_next = nullptr;
    return node;
  }
  node = static_cast<EventNode*>(page_alloc(sizeof(EventNode)));
  if (!node) return nullptr;
  std::memset(static_cast<void*>(node), 0, sizeof(EventNode));
  node->event = os_event_create();
  if (node->event == OS_NO_HANDLE) {
    page_free(node, sizeof(EventNode));
    return nullptr;
  }
  return node;
}

void event_node_push(EventNode* node, EventCache* cache) {
  if (!node) return;
  std::atomic_ref<uint8_t>(node->armed).store(0, std::memory_order_relaxed);
  std::atomic_ref<uint8_t>(node->fired).store(0, std::memory_order_relaxed);
  RuntimeBlock* rb = runtime_block();
  if (!rb) {
    // The caches are gone (after the exit handler): nobody would reuse it.
    node_destroy(node);
    return;
  }
  if (!cache) cache = thread_cache(rb);
  cache_lock(cache);
  node->free_next = cache->free_head;
  cache->free_head = node;
  cache_unlock(cache);
}

void event_node_recycle(EventNode* node) { event_node_push(node, nullptr); }

void* page_alloc(size_t size) {
  if (size < PAGE_THRESHOLD) return allocate(&g_heap_allocator, size);
  return os_page_alloc(size);
}

void page_free(void* address, size_t size) {
  if (!address) return;
  if (size < PAGE_THRESHOLD) {
    heap_free(address);
  } else {
    os_page_free(address, size);
  }
}

uint64_t tick_ms() { return os_tick_ms(); }

uint32_t processor_count() {
  static const uint32_t count = os_processor_count();
  return count;
}

uint64_t tick_extend(TickExtender* x) {
  std::atomic_ref<uint64_t> base(x->base);
  for (;;) {
    const uint64_t b = base.load(std::memory_order_acquire);
    const uint32_t t = x->read32();
    if (((b >> 31) & 1) == (t >> 31)) return b | (t & 0x7FFFFFFFu);
    // The clock crossed a half wrap since the base last moved: advance it
    // once, whoever of the racing readers gets here first.
    lock_acquire(&x->lock);
    if (base.load(std::memory_order_relaxed) == b) {
      base.store(b + 0x80000000u, std::memory_order_release);
    }
    lock_release(&x->lock);
  }
}

void spin_pause(uint32_t* rounds) {
  constexpr uint32_t SPINS = 64;  // about a microsecond before giving up the processor
  if (*rounds < SPINS) {
    ++*rounds;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    return;
  }
  os_yield();
}

void sleep_ms(int32_t ms) {
  const auto u = static_cast<uint32_t>(ms);
  os_sleep_ms(u >= 0x7FFFFFFFu ? OS_WAIT_INFINITE : u, true);
}

void fatal_error(const char* file, int line, const char* message) {
  if (!file) file = "";
  if (const char* slash = std::strrchr(file, '/')) file = slash + 1;
  char text[200];
  size_t length = format_text(text, sizeof text, "FATAL: %s:%d %s", file, line,
                              message ? message : "");
  if (length > sizeof text - 1) length = sizeof text - 1;
  os_fatal_exit(text, length);
}
