// store_open on arbitrary `_info` contents, compared with the rules of the
// format written out here: the first 256 bytes (a shorter file padded with
// zeros) are a store exactly when the magic and the checked fields are right,
// and then the record holds those fields.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "fuzz/fuzz_folder.h"
#include "fuzz/fuzz_input.h"
#include "store/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string store = fuzz_folder() + "/store";
  static const std::string info = store + "/.zuvo/_info";
  static const bool made = create_folder(store.c_str()) == 0 &&
                           create_folder((store + "/.zuvo").c_str()) == 0;
  FUZZ_CHECK(made, "making the store folders");
  FUZZ_CHECK(write_whole_file(info.c_str(), data, size) == 0, "writing _info");

  std::vector<unsigned char> f(data, data + size);
  f.resize(f.size() < 256 ? 256 : f.size(), 0);
  const uint32_t k = f[16] | f[17] << 8 | f[18] << 16 | uint32_t{f[19]} << 24;
  const bool valid = std::memcmp(f.data(), "zuvo1.s\n", 8) == 0 && k >= 4096 && k <= 33554432 &&
                     (k & (k - 1)) == 0 && f[20] == 32 && f[21] == 1 && f[22] <= 1 &&
                     f[23] >= 1 && f[23] <= 3 && f[24] >= 1 && f[24] <= 4;

  ScratchPool pool;
  const char* err = nullptr;
  StoreInfo* opened = reinterpret_cast<StoreInfo*>(1);
  const int rc = store_open(&opened, &pool, &err, store.c_str());
  if (!valid) {
    FUZZ_CHECK(rc == ERR_UNKNOWN_REVISION && opened == nullptr && err != nullptr,
               "a bad _info is not a store, with a text");
    return 0;
  }
  FUZZ_CHECK(rc == 0 && opened != nullptr, "a good _info opens");
  FUZZ_CHECK(opened->chunk_size == k && opened->hash_size == 32 && opened->hash_type == 1 &&
                 opened->compression_type == f[22] && opened->folder_levels == f[23] &&
                 opened->folder_digits == f[24],
             "the fields are the file's");
  FUZZ_CHECK(opened->path == store + "/.zuvo" && opened->path_length == store.size() + 6,
             "the metadata folder path");
  store_release(opened);
  return 0;
}
