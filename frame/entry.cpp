// The executable's entry: runs the start-up steps in their fixed order (their
// exit handlers then run in reverse), then the program.
#include <cstdlib>

#include "base/runtime.h"
#include "copy/commands.h"
#include "frame/msg_text.h"
#include "frame/program.h"
#include "platform/platform.h"
#include "store/register.h"

int main(int argc, char** argv) {
  os_process_setup();
  store_register_commands();
  copy_register_commands();
  runtime_start();
  frame_register_defaults();
  message_init();
  load_locale_texts();
  return program_main(argc, argv);
}
