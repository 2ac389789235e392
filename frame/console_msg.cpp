// Console messages over the formatting engine and the plain write call.
#include "frame/console_msg.h"

#include "base/file.h"
#include "base/scratch.h"
#include "base/text.h"
#include "base/transfer.h"

void console_write_formatted(OsHandle handle, const char* format, FormatArgs args) {
  ScratchPool pool;
  const char* text = pool_format(&pool, format, args);
  if (text == nullptr) return;
  size_t written = 0;
  (void)write_file(handle, text, text_len(text), &written);
}

void console_print_args(const char* format, FormatArgs args) {
  console_write_formatted(standard_output(), format, args);
}

void warn_unexpected_argument(const char* argument) {
  console_print("WARNING: Ignoring unexpected argument \"%s\"\n", argument);
}

void warn_unknown_switch(const char* switch_text) {
  console_print("WARNING: Ignoring unknown switch \"%s\"\n", switch_text);
}
