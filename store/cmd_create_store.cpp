// The create_store command: parses its switches and creates a store.
#include "base/err.h"
#include "base/parse.h"
#include "base/text.h"
#include "frame/console_msg.h"
#include "frame/switches.h"
#include "store/commands.h"
#include "store/store.h"

int create_store_command(int argc, char** argv) {
  ScratchPool pool;
  Switch switches[] = {{'i', SWITCH_VALUE}, {'n', SWITCH_VALUE}, {'w', SWITCH_VALUE}, {'z', 0}};
  // A value that would be the last argument is taken as the folder instead.
  SwitchLine line = switch_line(switches, 1, SWITCHES_VALUE_NOT_LAST);
  const int parsed = switches_read(&pool, &line, argc, argv);
  if (parsed) return parsed;
  const char* folder = line.operands[0];
  // The chunk size can never be changed afterwards, so its number is not
  // guessed at: "4096k" or a value past 64 bits is refused, not cut short.
  // A switch without a value (the last argument) gives 0, which store_create
  // refuses.
  uint64_t chunk_size = 262144;
  if (switch_given(&line, 'i')) {
    const char* text = switch_value(&line, 'i');
    chunk_size = 0;
    if (text && !switch_parse_number(text, &chunk_size)) {
      console_print("ERROR: Invalid chunk size \"%s\": give the bytes in decimal digits\n", text);
      return ERR_INVALID_PARAMETER;
    }
  }
  const uint64_t compression =
      switch_given(&line, 'z') ? STORE_COMPRESSION_ZIP : STORE_COMPRESSION_NONE;
  uint64_t levels = 1;
  if (switch_given(&line, 'n')) {
    levels = static_cast<uint64_t>(parse_value(switch_value(&line, 'n'), SIZE_MAX, nullptr));
  }
  uint64_t digits = 2;
  if (switch_given(&line, 'w')) {
    digits = static_cast<uint64_t>(parse_value(switch_value(&line, 'w'), SIZE_MAX, nullptr));
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
