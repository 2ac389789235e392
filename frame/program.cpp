// Start-up pieces of the frame and the process entry.
#include "frame/program.h"

#include <cstdlib>

#include "base/console_ctl.h"
#include "base/process.h"
#include "frame/command.h"
#include "frame/msg_text.h"

const char PROGRAM_APPLICATION_NAME[] = "File Zuvo Tool";
const char PROGRAM_BUILD_TAG[] = "26ZO";
const char PROGRAM_COPYRIGHT[] = "Copyright (c) 2026 The zuvo authors";

namespace {

CommandEntry g_version_entry;

int version_command(int, char**) {
  ScratchPool pool;
  message_print(message_format0(&pool, "polymain8_build_tag_line"));
  return 0;
}

void unregister_version() { unregister_command(&g_version_entry); }

}  // namespace

void frame_register_defaults() {
  message_set("polymain8_build_tag_line", "%(build_tag)\n");
  message_set("polymain8_banner",
              "%(application_name)\n%(copyright)\nVersion %(build_tag)\nFor help run: "
              "%(command_name) -h\n");
  message_set("polymain8_syntax", "%(command_name) <command> [...]\ncommands:\n");
  message_set("polymain8_syntax2", "For more help run: %(command_name) <command> -h\n");
  message_set("polymain8_error_unknown_command", "ERROR: Unknown command \"%1\".\n");
  message_set("polymain8_try_one_of", "Try one of:\n");
  register_command(&g_version_entry, &hidden_command_list, "version", version_command, nullptr,
                   nullptr);
  std::atexit(unregister_version);
}

int program_main(int argc, char** argv) {
  process_record_platform_arguments(argc, argv);
  int count = 0;
  char** args = process_arguments(&count);
  if (!args) return -1;
  console_control_start();
  const int result = run_command_frame(nullptr, count - 1, args + 1, program_name(),
                                       PROGRAM_APPLICATION_NAME, PROGRAM_BUILD_TAG,
                                       PROGRAM_COPYRIGHT);
  return result == 0 ? 0 : exit_code_for_error(result);
}
