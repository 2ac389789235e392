// The executable's entry: runs the start-up steps in their fixed order (their
// exit handlers then run in reverse), then the program.
#include <cstdlib>

#include "base/process.h"
#include "base/runtime.h"
#include "copy/commands.h"
#include "frame/msg_text.h"
#include "frame/program.h"
#include "store/register.h"

int main(int argc, char** argv) {
  process_setup();
  store_register_commands();
  copy_register_commands();
  runtime_start();
  frame_register_defaults();
  message_init();
  load_locale_texts();
  return program_main(argc, argv);
}
