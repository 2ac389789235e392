// chunk_uncompress on arbitrary streams, some made by chunk_compress and then
// damaged or cut. Each answer is compared with zlib's own inflate of the same
// raw stream: success exactly when the stream ends within the limit, with the
// same bytes and length; failure with nothing produced; nothing written past
// the limit. Compressed data comes back whole and not at one byte less room.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/err.h"
#include "fuzz/fuzz_input.h"
#include "hash/deflate.h"

namespace {

constexpr size_t GUARD = 32;
constexpr size_t LIMIT_MAX = 1 << 18;

struct Reference {
  int rc;                           // zlib's last answer
  std::vector<unsigned char> data;  // what it produced
};

// Inflates the raw stream into at most `room` bytes in one call.
Reference reference_inflate(const unsigned char* input, size_t length, size_t room) {
  Reference r;
  r.data.resize(room + 1);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  z.next_in = const_cast<unsigned char*>(input);
  z.avail_in = static_cast<uInt>(length);
  z.next_out = r.data.data();
  z.avail_out = static_cast<uInt>(room);
  r.rc = inflate(&z, Z_FINISH);
  r.data.resize(z.total_out);
  inflateEnd(&z);
  return r;
}

void check_uncompress(const unsigned char* input, size_t length, size_t limit) {
  std::vector<unsigned char> out(limit + GUARD, 0x5A);
  size_t produced = 12345;
  const int rc = chunk_uncompress(input, length, out.data(), limit, &produced);
  for (size_t i = limit; i < out.size(); i++) {
    FUZZ_CHECK(out[i] == 0x5A, "nothing written past the limit");
  }
  if (length == 0) {
    FUZZ_CHECK(rc == 0 && produced == 0, "an empty input gives 0 bytes");
    return;
  }
  // One byte more room tells "ends within the limit" from "needs more".
  const Reference ref = reference_inflate(input, length, limit + 1);
  const bool ends = ref.rc == Z_STREAM_END && ref.data.size() <= limit;
  if (rc == 0) {
    FUZZ_CHECK(produced <= limit, "success within the limit");
    if (!ends) {
      // A faster inflater may decode streams the reference calls invalid (its
      // Huffman tables accept incomplete codes); a stored chunk's hash still
      // tells such output from the chunk. Never one the reference ends differently.
      FUZZ_CHECK(ref.rc == Z_DATA_ERROR, "success only for a stream that ends within the limit");
      return;
    }
    FUZZ_CHECK(produced == ref.data.size(), "success with the right length");
    FUZZ_CHECK(std::memcmp(out.data(), ref.data.data(), produced) == 0, "the right bytes");
  } else {
    FUZZ_CHECK(produced == 0, "nothing produced on failure");
    FUZZ_CHECK(!ends, "a good stream is not refused");
    FUZZ_CHECK(rc == ERR_BAD_FORMAT, "damage reported as damage");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t mode = in.byte();
  const size_t limit = in.u32() % (LIMIT_MAX + 1);
  const uint32_t damage_at = in.u16();
  const uint8_t damage = in.byte();
  const uint32_t cut = in.u16();
  const unsigned char* body = in.data;
  const size_t body_size = in.size;

  if (!(mode & 1)) {
    check_uncompress(body, body_size, limit);
    return 0;
  }
  // A stream made here from the body, checked whole, then damaged and cut.
  std::vector<unsigned char> packed(compressBound(body_size) + 64);
  size_t packed_size = 0;
  FUZZ_CHECK(chunk_compress(body, body_size, packed.data(), packed.size(), &packed_size) == 0,
             "compressing into a bound-sized buffer");
  packed.resize(packed_size);
  std::vector<unsigned char> back(body_size + GUARD);
  size_t produced = 0;
  FUZZ_CHECK(chunk_uncompress(packed.data(), packed.size(), back.data(), body_size, &produced) == 0 &&
                 produced == body_size && std::memcmp(back.data(), body, body_size) == 0,
             "a round trip gives the data back");
  if (body_size > 0) {
    FUZZ_CHECK(chunk_uncompress(packed.data(), packed.size(), back.data(), body_size - 1,
                                &produced) != 0 && produced == 0,
               "one byte less room is a failure");
  }
  if (!packed.empty() && (mode & 2)) packed[damage_at % packed.size()] ^= damage ? damage : 1;
  if (mode & 4) packed.resize(cut % (packed.size() + 1));
  check_uncompress(packed.data(), packed.size(), (mode & 8) ? body_size : limit);
  return 0;
}
