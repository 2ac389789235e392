// Command registry, dispatch and exit codes.
#include "frame/command.h"

#include "base/err.h"
#include "base/fmt.h"
#include "base/text.h"
#include "frame/msg_text.h"

CommandEntry* command_list = nullptr;
CommandEntry* hidden_command_list = nullptr;

namespace {

// Accepted as the first argument: '?', 'h' or 'help' with any dashes or slashes.
const char* const HELP_SWITCHES[] = {"/?", "/h", "/help", "?", "-?", "-h", "help", "-help",
                                     "--help"};
// Accepted directly after a command word.
const char* const COMMAND_HELP_SWITCHES[] = {"/?", "/h", "-?", "-h"};

template <size_t N>
bool is_any_of(const char* arg, const char* const (&table)[N]) {
  for (const char* s : table) {
    if (command_name_compare(arg, s) == 0) return true;
  }
  return false;
}

signed char command_char(char c) {
  if (c == '-' || c == '_') return ' ';
  if (c >= 'A' && c <= 'Z') return static_cast<signed char>(c + 32);
  return static_cast<signed char>(c);
}

const char* help_text_or_key(ScratchPool* pool, const char* text, const char* name,
                             const char* suffix_format) {
  return text ? text : pool_format(pool, suffix_format, name);
}

// The command list for `word`: header, every visible command whose name holds
// the word (wildcards act), footer.
void print_command_list(ScratchPool* pool, CommandEntry* list, const char* word) {
  message_print(message_format0(pool, "polymain8_syntax"));
  const char* pattern = pool_format(pool, "*%s*", word);
  for (CommandEntry* e = list; e; e = e->next) {
    if (!text_match_wildcard(pattern, e->name)) continue;
    const char* short_help =
        message_format0(pool, help_text_or_key(pool, e->short_help, e->name, "%s_short_help"));
    const char* long_help = message_format1(
        pool, help_text_or_key(pool, e->long_help, e->name, "%s_long_help"), e->name);
    if (!text_is_empty(short_help) && !text_is_empty(long_help)) {
      message_print(pool_format(pool, "  %s  %s", e->name, short_help));
    }
  }
  message_print(message_format0(pool, "polymain8_syntax2"));
}

}  // namespace

void register_command(CommandEntry* entry, CommandEntry** list, const char* name,
                      CommandHandler handler, const char* short_help, const char* long_help) {
  if (!list) list = &command_list;
  entry->name = name;
  entry->handler = handler;
  entry->short_help = short_help;
  entry->long_help = long_help;
  CommandEntry** link = list;
  while (*link && text_compare_nocase((*link)->name, SIZE_MAX, name, SIZE_MAX) < 0) {
    link = &(*link)->next;
  }
  entry->next = *link;
  entry->prev_link = link;
  if (entry->next) entry->next->prev_link = &entry->next;
  *link = entry;
}

void unregister_command(CommandEntry* entry) {
  if (!entry->prev_link) return;
  *entry->prev_link = entry->next;
  if (entry->next) entry->next->prev_link = entry->prev_link;
  entry->prev_link = nullptr;
  entry->next = nullptr;
}

int command_name_compare(const char* a, const char* b) {
  a = text_or_empty(a);
  b = text_or_empty(b);
  while (*a == '-' || *a == '/') a++;
  while (*b == '-' || *b == '/') b++;
  for (;; a++, b++) {
    const signed char ca = command_char(*a);
    const signed char cb = command_char(*b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

int dispatch_command(CommandEntry** list, int argc, char** argv, CommandHandler* out_handler) {
  if (!list) list = &command_list;
  ScratchPool pool;
  if (argc <= 0) {
    message_print(message_format0(&pool, "polymain8_banner"));
    return 0;
  }
  bool help = is_any_of(argv[0], HELP_SWITCHES);
  const int w_index = help ? 1 : 0;
  if (w_index >= argc) {
    print_command_list(&pool, *list, "");
    return 0;
  }
  const char* word = argv[w_index];
  CommandEntry* found = nullptr;
  for (CommandEntry* e = *list; e && !found; e = e->next) {
    if (command_name_compare(e->name, word) == 0) found = e;
  }
  for (CommandEntry* e = hidden_command_list; e && !found; e = e->next) {
    if (command_name_compare(e->name, word) == 0) found = e;
  }
  if (found) {
    *out_handler = found->handler;
    if (!help && w_index + 1 < argc) help = is_any_of(argv[w_index + 1], COMMAND_HELP_SWITCHES);
    if (help) {
      const char* text = help_text_or_key(&pool, found->long_help, found->name, "%s_long_help");
      message_print(message_format1(&pool, text, found->name));
      *out_handler = nullptr;
    }
    return 0;
  }
  if (help) {
    print_command_list(&pool, *list, word);
    return 0;
  }
  message_print(message_format1(&pool, "polymain8_error_unknown_command", word));
  const char* pattern = pool_format(&pool, "*%s*", word);
  bool any = false;
  for (CommandEntry* e = *list; e; e = e->next) {
    if (!text_match_wildcard(pattern, e->name)) continue;
    if (!any) message_print(message_format0(&pool, "polymain8_try_one_of"));
    any = true;
    message_print(pool_format(&pool, "  %s\n", e->name));
  }
  return -1;
}

int run_command_frame(CommandEntry** list, int argc, char** argv, const char* command_name,
                      const char* application_name, const char* build_tag,
                      const char* copyright) {
  message_set_replace_mode(1);
  if (command_name) message_set("command_name", command_name);
  if (application_name) message_set("application_name", application_name);
  if (copyright) message_set("copyright", copyright);
  if (build_tag) message_set("build_tag", text_is_empty(build_tag) ? "?" : build_tag);
  CommandHandler handler = nullptr;
  const int result = dispatch_command(list, argc, argv, &handler);
  if (result != 0) return result;
  return handler ? handler(argc, argv) : 0;
}

// The exit code of every number that the table does not list.
constexpr int EXIT_CODE_OTHER = 7;

int exit_code_for_error(int result) {
  struct Row {
    int exit_code;
    uint32_t numbers[6];
    int count;
  };
  static const Row ROWS[] = {
      {0, {ERR_OK}, 1},
      {1, {ERR_BROKEN_PIPE}, 1},
      {2, {ERR_CANCELLED, ERR_OPERATION_ABORTED}, 2},
      {3,
       {ERR_INVALID_FUNCTION, ERR_UNKNOWN_REVISION, ERR_CHILD_NOT_COMPLETE,
        ERR_DIRECT_ACCESS_HANDLE, ERR_IS_SUBSTED, ERR_SEM_IS_SET},
       6},
      {4, {ERR_INVALID_PARAMETER, ERR_INVALID_HANDLE, ERR_BUFFER_OVERFLOW}, 3},
      {5, {ERR_ACCESS_DENIED, ERR_NATIVE_FILE_IS_A_DIRECTORY}, 2},
      {6, {ERR_OUTOFMEMORY}, 1},
      {7, {ERR_GEN_FAILURE, ERR_ASSERTION_FAILURE}, 2},
      {8, {ERR_NOT_FOUND, ERR_MOD_NOT_FOUND, ERR_FILE_NOT_FOUND}, 3},
      {9, {ERR_PATH_NOT_FOUND}, 1},
      {10, {ERR_ALREADY_EXISTS, ERR_FILE_EXISTS}, 2},
      {11, {ERR_HANDLE_DISK_FULL, ERR_DISK_FULL}, 2},
      {12, {ERR_INVALID_NAME, ERR_CANT_RESOLVE_FILENAME}, 2},
      {13, {ERR_DIR_NOT_EMPTY}, 1},
      {14, {ERR_HANDLE_EOF}, 1},
      {16, {ERR_DELETE_PENDING}, 1},
      {17, {ERR_BAD_FORMAT, ERR_BAD_EXE_FORMAT}, 2},
      {18, {ERR_SEM_TIMEOUT, ERR_NETNAME_DELETED}, 2},
      {19, {ERR_DIRECTORY}, 1},
      {20, {ERR_NO_MORE_FILES}, 1},
      {21, {ERR_USER_APC}, 1},
      {22, {ERR_RETRY, ERR_WOULD_BLOCK}, 2},
      {23, {ERR_CRC}, 1},
      {24, {ERR_NOT_SAME_DEVICE}, 1},
      // Findings a script acts on, each from a number nothing else gives.
      {25, {ERR_STORE_IN_USE}, 1},
      {26, {ERR_SOURCE_CHANGED}, 1},
      {27, {ERR_PROBLEMS_FOUND}, 1},
  };
  const uint32_t pattern = static_cast<uint32_t>(result);
  for (const Row& row : ROWS) {
    for (int i = 0; i < row.count; i++) {
      if (row.numbers[i] == pattern) return row.exit_code;
    }
  }
  return EXIT_CODE_OTHER;
}
