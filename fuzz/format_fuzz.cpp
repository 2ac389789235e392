// format_text and format_wide with arbitrary formats over one fixed argument
// list. Every argument is the address of a small cell (or null) that reads as
// a narrow text, a UTF-16 text or a GUID and takes a %n write, so any
// conversion may consume any argument. The cells sit at fixed addresses whose
// low 32 bits are small or just below 2^32, so that a '*' width taken from an
// address stays small or negative instead of asking for gigabytes.
// Checks: the length is the same whatever the capacity, the output at any
// capacity is a terminated prefix of the unbounded one, and nothing is
// written past the capacity.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/fmt.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr uintptr_t LOW_CELLS = 0x500000000000;   // low 32 bits 0: small widths
constexpr uintptr_t HIGH_CELLS = 0x5000FFFFF000;  // low 32 bits near 2^32: negative widths
constexpr size_t CELL = 64;
constexpr size_t CELLS = 8;
constexpr size_t GUARD = 32;
// Longer results are skipped: they only cost time.
constexpr size_t LENGTH_LIMIT = size_t{1} << 20;

// Cell contents: UTF-8 with 2- and 4-byte sequences, invalid bytes, UTF-16
// with a pair and a lone surrogate, and plain ASCII.
const unsigned char CELL_TEXTS[CELLS][16] = {
    {'h', 0xC3, 0xA9, 'l', 'l', 'o'},
    {0xF0, 0x9F, 0x98, 0x80, '!', 0xFF, 0xC3},
    {'A', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 'z', 0},
    {0x00, 0xDC, 'b', 0, 'c', 0},
    {'%', 's', '%', 'n'},
    {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
    {},
    {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'},
};

uint64_t g_slots[2 * CELLS + 2];
bool g_ready = false;

void map_cells(uintptr_t at) {
  void* p = mmap(reinterpret_cast<void*>(at), 4096, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p != reinterpret_cast<void*>(at)) {
    std::fprintf(stderr, "cannot map the argument cells at %#zx\n", static_cast<size_t>(at));
    std::abort();
  }
}

void reset_cells() {
  for (uintptr_t base : {LOW_CELLS, HIGH_CELLS}) {
    for (size_t i = 0; i < CELLS; i++) {
      auto* cell = reinterpret_cast<unsigned char*>(base + i * CELL);
      std::memset(cell, 0, CELL);
      std::memcpy(cell, CELL_TEXTS[(i + (base == HIGH_CELLS ? 3 : 0)) % CELLS], 16);
    }
  }
}

std::vector<unsigned char> snapshot_cells() {
  std::vector<unsigned char> all(2 * CELLS * CELL);
  std::memcpy(all.data(), reinterpret_cast<void*>(LOW_CELLS), CELLS * CELL);
  std::memcpy(all.data() + CELLS * CELL, reinterpret_cast<void*>(HIGH_CELLS), CELLS * CELL);
  return all;
}

void setup() {
  if (g_ready) return;
  g_ready = true;
  map_cells(LOW_CELLS);
  map_cells(HIGH_CELLS);
  size_t n = 0;
  for (size_t i = 0; i < CELLS; i++) {
    g_slots[n++] = LOW_CELLS + i * CELL;
    g_slots[n++] = HIGH_CELLS + ((i * 3) % CELLS) * CELL;
    if (i == 2) g_slots[n++] = 0;
  }
  g_slots[n++] = 0;
}

// False when a conversion asks for a width or precision of more than four
// digits (up to 2^31 - 1 units of padding, which only costs time). Follows
// the engine's order: flags, width, '.', precision; the unit after them is a
// size or the conversion and never starts a new one.
template <typename Unit>
bool widths_small(const std::basic_string<Unit>& format) {
  const size_t n = format.size();
  auto digits_at = [&](size_t& i) {
    size_t count = 0;
    if (i < n && format[i] == '*') {
      i++;
    } else {
      for (; i < n && format[i] >= '0' && format[i] <= '9'; i++) count++;
    }
    return count;
  };
  for (size_t i = 0; i < n; i++) {
    if (format[i] != '%') continue;
    for (i++; i < n; i++) {
      const Unit c = format[i];
      if (c != '+' && c != '-' && c != ' ' && c != '#' && c != '0') break;
    }
    if (digits_at(i) > 4) return false;
    if (i < n && format[i] == '.') {
      i++;
      if (digits_at(i) > 4) return false;
    }
  }
  return true;
}

template <typename Unit, typename Format>
void check_engine(Format format_fn, const std::basic_string<Unit>& format, size_t cap_pick) {
  const FormatArgs args{g_slots, sizeof g_slots / sizeof g_slots[0]};
  reset_cells();
  const size_t length = format_fn(nullptr, 0, format.c_str(), args);
  if (length > LENGTH_LIMIT) return;

  reset_cells();
  std::vector<Unit> whole(length + 1 + GUARD, Unit(0x5A5A));
  FUZZ_CHECK(format_fn(whole.data(), length + 1, format.c_str(), args) == length,
             "the unbounded length");
  FUZZ_CHECK(whole[length] == 0, "terminated after the whole result");
  for (size_t i = length + 1; i < whole.size(); i++) {
    FUZZ_CHECK(whole[i] == Unit(0x5A5A), "nothing written past the capacity");
  }
  const std::vector<unsigned char> cells_after = snapshot_cells();

  const size_t capacity = cap_pick % (length + 3);
  reset_cells();
  std::vector<Unit> part(capacity + GUARD, Unit(0x5A5A));
  FUZZ_CHECK(format_fn(part.data(), capacity, format.c_str(), args) == length,
             "the same length at a smaller capacity");
  for (size_t i = capacity; i < part.size(); i++) {
    FUZZ_CHECK(part[i] == Unit(0x5A5A), "nothing written past the capacity");
  }
  if (capacity) {
    const size_t kept = length < capacity - 1 ? length : capacity - 1;
    FUZZ_CHECK(std::memcmp(part.data(), whole.data(), kept * sizeof(Unit)) == 0,
               "a prefix of the unbounded result");
    FUZZ_CHECK(part[kept] == 0, "terminated inside the capacity");
  }
  FUZZ_CHECK(snapshot_cells() == cells_after, "%n stores the same counts at any capacity");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup();
  FuzzInput in{data, size};
  const size_t cap_pick = in.u16();
  const std::string narrow = std::string(reinterpret_cast<const char*>(in.data), in.size).c_str();
  std::u16string wide(in.size / 2, u'\0');
  std::memcpy(wide.data(), in.data, wide.size() * 2);
  wide = wide.c_str();

  if (widths_small(narrow)) {
    auto narrow_fn = [](char* d, size_t c, const char* f, FormatArgs a) {
      return format_text(d, c, f, a);
    };
    check_engine<char>(narrow_fn, narrow, cap_pick);
    // The pool form gives the unbounded result.
    ScratchPool pool;
    reset_cells();
    const FormatArgs args{g_slots, sizeof g_slots / sizeof g_slots[0]};
    const size_t length = format_text(nullptr, 0, narrow.c_str(), args);
    if (length <= LENGTH_LIMIT) {
      std::string expected(length + 1, '\0');
      reset_cells();
      format_text(expected.data(), expected.size(), narrow.c_str(), args);
      reset_cells();
      const char* pooled = pool_format(&pool, narrow.c_str(), args);
      FUZZ_CHECK(pooled && std::memcmp(pooled, expected.data(), length + 1) == 0,
                 "pool_format matches the buffer form");
    }
  }
  if (widths_small(wide)) {
    auto wide_fn = [](char16_t* d, size_t c, const char16_t* f, FormatArgs a) {
      return format_wide(d, c, f, a);
    };
    check_engine<char16_t>(wide_fn, wide, cap_pick);
  }
  return 0;
}
