// chunk_map_open and chunk_map_recognize on arbitrary file contents. Half the
// inputs are padded or cut to within two bytes of the size their header calls
// for, so that the checks after the size test are reached. The answers are
// compared with the rules of the format written out here: a map opens exactly
// when its magic, hash fields, chunk size, chunk count and file size are
// right, and then holds the file's bytes; a file that is not one is plain
// exactly when it is empty or does not begin with (a prefix of) the magic, and
// damaged otherwise.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "fuzz/fuzz_folder.h"
#include "fuzz/fuzz_input.h"
#include "store/chunk_map.h"

namespace {

uint64_t le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// The smallest N >= 64 + 32 * count with N mod 2048 == 1987.
uint64_t legal_size(uint64_t count) {
  const uint64_t need = 64 + 32 * count;
  uint64_t n = 1987;
  if (n < need) n += (need - 1987 + 2047) / 2048 * 2048;
  return n;
}

// The chunk count a header asks for, or -1 when the header is not valid.
int64_t header_count(const std::vector<unsigned char>& f) {
  if (f.size() < 64 || std::memcmp(f.data(), "zuvo1.f\n", 8) != 0) return -1;
  if (f[20] != 32 || f[21] != 1) return -1;
  const uint64_t k = le(&f[16], 4);
  if (k < 4096 || k > 33554432 || (k & (k - 1)) != 0) return -1;
  const uint64_t size = le(&f[8], 8);
  const uint64_t count = size / k + (size % k ? 1 : 0);
  if (count > 33554432) return -1;
  return static_cast<int64_t>(count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t mode = in.byte();
  std::vector<unsigned char> file(in.data, in.data + in.size);
  const int64_t count = header_count(file);
  if ((mode & 1) && count >= 0 && legal_size(count) <= (1u << 20)) {
    // Around the legal size: -2 .. +2 bytes.
    file.resize(legal_size(count) + (mode >> 1) % 5 - 2);
  }
  const std::string path = fuzz_folder() + "/map";
  FUZZ_CHECK(write_whole_file(path.c_str(), file.data(), file.size()) == 0, "writing the map");

  ScratchPool pool;
  const char* err = nullptr;
  ChunkMap* map = reinterpret_cast<ChunkMap*>(1);
  const int rc = chunk_map_open(&map, &pool, &err, path.c_str());
  const bool valid = count >= 0 && file.size() == legal_size(count);
  const bool claims = !file.empty() &&
                      std::memcmp(file.data(), "zuvo1.f\n", std::min<size_t>(file.size(), 8)) == 0;
  for (const bool load : {true, false}) {
    bool is_map = !valid;
    ChunkMap* seen = reinterpret_cast<ChunkMap*>(1);
    ChunkMapHeader header{};
    const char* why = nullptr;
    const int recognized =
        chunk_map_recognize(&is_map, load ? &seen : nullptr, &header, &pool, &why, path.c_str());
    FUZZ_CHECK(is_map == valid, "a map is recognized exactly when it is valid");
    if (valid) {
      FUZZ_CHECK(recognized == 0 && header.image_size == file.size() && why == nullptr,
                 "a valid map is recognized with its header");
      if (load) {
        FUZZ_CHECK(seen && std::memcmp(seen->image, file.data(), file.size()) == 0,
                   "the recognized image is the file");
        chunk_map_release(seen);
      }
    } else if (claims) {
      FUZZ_CHECK(recognized == ERR_UNKNOWN_REVISION && why != nullptr &&
                     std::strncmp(why, "Damaged chunk map \"", 19) == 0,
                 "a file that begins as a map and does not validate is damaged");
    } else {
      FUZZ_CHECK(recognized == 0 && why == nullptr, "anything else is plain");
    }
    if (!valid && load) FUZZ_CHECK(seen == nullptr, "no map unless valid");
  }
  if (!valid) {
    FUZZ_CHECK(rc != 0 && map == nullptr && err != nullptr, "a bad map is refused with a text");
    FUZZ_CHECK(rc == ERR_UNKNOWN_REVISION, "a bad map is not in the format");
    return 0;
  }
  FUZZ_CHECK(rc == 0 && map != nullptr, "a good map opens");
  FUZZ_CHECK(map->file_size == le(&file[8], 8) && map->chunk_size == le(&file[16], 4) &&
                 map->chunk_count == static_cast<uint64_t>(count) &&
                 (uint64_t{1} << map->chunk_shift) == map->chunk_size && map->hash_size == 32 &&
                 map->hash_type == 1 && map->image_size == file.size(),
             "the fields are the header's");
  FUZZ_CHECK(std::memcmp(map->image, file.data(), file.size()) == 0, "the image is the file");
  if (count > 0) {
    unsigned char hash[32];
    const uint64_t last = (static_cast<uint64_t>(count) - 1) * map->chunk_size;
    chunk_map_get_hash(map, last, hash);
    FUZZ_CHECK(std::memcmp(hash, &file[64 + 32 * (count - 1)], 32) == 0, "the last slot");
  }
  chunk_map_release(map);
  return 0;
}
