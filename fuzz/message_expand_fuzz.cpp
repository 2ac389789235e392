// message_expand with arbitrary templates and arguments over a fixed table of
// named texts (plain, empty, nested, self- and mutually recursive). Checks:
// the length is the same at every capacity, the output is a terminated prefix
// of the whole result with nothing past the capacity, a direct text equals
// the result, the nesting count comes back to 0, and message_format agrees.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frame/msg_text.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr size_t GUARD = 16;

void setup() {
  static bool done = false;
  if (done) return;
  done = true;
  message_set("a", "A(%1)");
  message_set("b", "%(a)-%(b)");
  message_set("c", "%(d)%3");
  message_set("d", "[%(c)%2]");
  message_set("e", "");
  message_set("f", "plain");
  message_set("g", "%(f)%(e)%9%");
  message_set("h", "%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)%(a)");
  message_set("Mixed", "%(MIXED)%(g)%%");
  message_set("missing_arg", "<?>");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup();
  FuzzInput in{data, size};
  const int count = in.byte() % 11;
  const size_t cap_pick = in.u16();
  // Up to nine arguments, each ended by a zero byte; 0xFF alone stands for null.
  std::vector<std::string> texts;
  const char* args[9] = {};
  for (int i = 0; i < 9 && in.size; i++) {
    std::string s;
    while (in.size) {
      const char c = static_cast<char>(in.byte());
      if (c == 0) break;
      s += c;
    }
    texts.push_back(s);
  }
  for (size_t i = 0; i < texts.size(); i++) args[i] = texts[i] == "\xFF" ? nullptr : texts[i].c_str();
  const std::string templ(reinterpret_cast<const char*>(in.data), in.size);
  const char* t = templ.c_str();
  const int passed = count > 9 ? 9 : count;

  int depth = 0;
  const char* direct = nullptr;
  const size_t length = message_expand(&depth, nullptr, 0, &direct, t, passed, args);
  FUZZ_CHECK(depth == 0, "the nesting count comes back");

  std::vector<char> whole(length + 1 + GUARD, '\x5A');
  FUZZ_CHECK(message_expand(&depth, whole.data(), length + 1, &direct, t, passed, args) == length,
             "the unbounded length");
  FUZZ_CHECK(whole[length] == 0 && std::strlen(whole.data()) == length, "terminated at the length");
  for (size_t i = length + 1; i < whole.size(); i++) {
    FUZZ_CHECK(whole[i] == '\x5A', "nothing written past the capacity");
  }
  if (direct) FUZZ_CHECK(std::strcmp(direct, whole.data()) == 0, "a direct text is the result");

  const size_t capacity = cap_pick % (length + 3);
  std::vector<char> part(capacity + GUARD, '\x5A');
  FUZZ_CHECK(message_expand(&depth, part.data(), capacity, &direct, t, passed, args) == length,
             "the same length at a smaller capacity");
  for (size_t i = capacity; i < part.size(); i++) {
    FUZZ_CHECK(part[i] == '\x5A', "nothing written past the capacity");
  }
  if (capacity) {
    const size_t kept = length < capacity - 1 ? length : capacity - 1;
    FUZZ_CHECK(std::memcmp(part.data(), whole.data(), kept) == 0 && part[kept] == 0,
               "a terminated prefix of the whole result");
  }
  FUZZ_CHECK(depth == 0, "the nesting count comes back");

  ScratchPool pool;
  const char* formatted = message_format(&pool, t, passed, args);
  FUZZ_CHECK(formatted && std::strcmp(formatted, whole.data()) == 0,
             "message_format gives the whole result");
  return 0;
}
