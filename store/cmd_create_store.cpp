// The create_store command: parses its switches and creates a store.
#include "base/err.h"
#include "base/parse.h"
#include "base/text.h"
#include "frame/console_msg.h"
#include "store/commands.h"
#include "store/store.h"

int create_store_command(int argc, char** argv) {
  uint64_t chunk_size = 262144;
  uint64_t compression = STORE_COMPRESSION_NONE;
  uint64_t levels = 1;
  uint64_t digits = 2;
  const char* folder = nullptr;
  ScratchPool pool;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    const bool is_switch = (arg[0] == '-' || arg[0] == '/') && text_len(arg) == 2;
    if (!is_switch) {
      if (!folder) {
        folder = arg;
      } else {
        warn_unexpected_argument(arg);
      }
      continue;
    }
    const int letter = char_to_lower_ascii(arg[1]);
    if (letter == 'i' || letter == 'n' || letter == 'w') {
      // A value that would be the last argument is taken as the folder instead.
      if (i + 2 == argc) continue;
      const uint64_t value =
          i + 1 < argc ? static_cast<uint64_t>(parse_value(argv[i + 1], SIZE_MAX, nullptr)) : 0;
      if (letter == 'i') chunk_size = value;
      if (letter == 'n') levels = value;
      if (letter == 'w') digits = value;
      i++;
    } else if (letter == 'z') {
      compression = STORE_COMPRESSION_ZIP;
    } else {
      warn_unknown_switch(arg);
    }
  }
  if (text_is_empty(folder)) {
    console_print("ERROR: Must specify store folder.\n");
    return ERR_INVALID_PARAMETER;
  }
  StoreInfo* store = nullptr;
  const char* err = nullptr;
  const int result =
      store_create(&store, &pool, &err, folder, chunk_size, compression, levels, digits);
  if (result) {
    console_print("ERROR: %s\n", err);
  } else {
    console_print("Store folder created successfully.\n");
  }
  store_release(store);
  return result;
}
