// The marking set: append, then sort and drop repeats when full.
#include "store/mark_set.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/err.h"

namespace {

constexpr size_t MARK_SET_MIN_CAPACITY = 4096;

struct Hash {
  uint8_t bytes[MARK_SET_HASH_SIZE];
};
static_assert(sizeof(Hash) == MARK_SET_HASH_SIZE);

bool hash_less(const Hash& a, const Hash& b) {
  return std::memcmp(a.bytes, b.bytes, MARK_SET_HASH_SIZE) < 0;
}

bool hash_equal(const Hash& a, const Hash& b) {
  return std::memcmp(a.bytes, b.bytes, MARK_SET_HASH_SIZE) == 0;
}

void compact(MarkSet* set) {
  if (set->sorted == set->count) return;
  Hash* first = reinterpret_cast<Hash*>(set->hashes);
  std::sort(first, first + set->count, hash_less);
  set->count = static_cast<size_t>(std::unique(first, first + set->count, hash_equal) - first);
  set->sorted = set->count;
}

int grow(MarkSet* set, size_t capacity) {
  void* more = std::realloc(set->hashes, capacity * MARK_SET_HASH_SIZE);
  if (!more) return ERR_OUTOFMEMORY;
  set->hashes = static_cast<uint8_t*>(more);
  set->capacity = capacity;
  return 0;
}

}  // namespace

int mark_set_add(MarkSet* set, const uint8_t* hash) {
  if (set->count == set->capacity) {
    compact(set);
    // Grown only when repeats did not free a quarter of the room: the array
    // stays within about twice the distinct hashes.
    if (set->count >= set->capacity - set->capacity / 4) {
      const size_t capacity =
          set->capacity < MARK_SET_MIN_CAPACITY ? MARK_SET_MIN_CAPACITY : set->capacity * 2;
      if (capacity > SIZE_MAX / MARK_SET_HASH_SIZE) return ERR_OUTOFMEMORY;
      const int rc = grow(set, capacity);
      if (rc) return rc;
    }
  }
  std::memcpy(set->hashes + set->count * MARK_SET_HASH_SIZE, hash, MARK_SET_HASH_SIZE);
  set->count++;
  return 0;
}

void mark_set_finish(MarkSet* set) {
  compact(set);
  if (set->count && set->count < set->capacity) (void)grow(set, set->count);
}

bool mark_set_contains(const MarkSet* set, const uint8_t* hash) {
  const Hash* first = reinterpret_cast<const Hash*>(set->hashes);
  Hash key;
  std::memcpy(key.bytes, hash, MARK_SET_HASH_SIZE);
  return set->count && std::binary_search(first, first + set->count, key, hash_less);
}

void mark_set_free(MarkSet* set) {
  std::free(set->hashes);
  *set = MarkSet{};
}
