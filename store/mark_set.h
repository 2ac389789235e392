// The marking set of a store: the distinct chunk hashes that chunk maps list,
// kept as one sorted array of 32-byte hashes. Hashes are appended as the maps
// are read; whenever the array fills up it is sorted and its repeats dropped,
// so a store whose maps list the same chunks many times still costs 32 bytes
// (plus growth room) per distinct chunk. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MARK_SET_HASH_SIZE = 32;

struct MarkSet {
  uint8_t* hashes;  // capacity * 32 bytes from malloc, or null
  size_t count;     // hashes held
  size_t capacity;  // hashes that fit
  size_t sorted;    // the first `sorted` hashes are sorted and distinct
};

// Adds `hash` (32 bytes). Returns 0, or 14 when memory runs out (the set
// stays as it was).
[[nodiscard]] int mark_set_add(MarkSet* set, const uint8_t* hash);
// Sorts the set, drops repeats and gives back unused room. After it the set
// is sorted until the next add.
void mark_set_finish(MarkSet* set);
// Whether `hash` is in the set. REQUIRES: mark_set_finish since the last add.
bool mark_set_contains(const MarkSet* set, const uint8_t* hash);
// The hash at `index` (below count).
inline const uint8_t* mark_set_at(const MarkSet* set, size_t index) {
  return set->hashes + index * MARK_SET_HASH_SIZE;
}
// Frees the array and empties the set.
void mark_set_free(MarkSet* set);
