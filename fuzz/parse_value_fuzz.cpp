// parse_value on arbitrary text: a length-bounded text that is not terminated
// must read no further than its bound and parse as the same text terminated;
// surrounding blanks change nothing; a leading '-' negates a number.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/parse.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t cut = in.byte();
  const size_t bound = cut == 0xFF ? in.size : cut % (in.size + 1);
  // The bounded text sits in a block of exactly `bound` bytes, so a read past
  // it is an overflow the address checker reports.
  auto* bounded = static_cast<char*>(std::malloc(bound ? bound : 1));
  if (bound) std::memcpy(bounded, in.data, bound);
  unsigned flags = 0;
  const int64_t value = parse_value(bounded, bound, &flags);
  std::free(bounded);

  std::string text(reinterpret_cast<const char*>(in.data), bound);
  text = text.c_str();  // a zero byte ends the text
  unsigned plain_flags = 0;
  const int64_t plain = parse_value(text.c_str(), SIZE_MAX, &plain_flags);
  FUZZ_CHECK(value == plain && flags == plain_flags, "bounded text parses as the terminated one");

  unsigned padded_flags = 0;
  const std::string padded = " \t" + text + "\r\n ";
  FUZZ_CHECK(parse_value(padded.c_str(), SIZE_MAX, &padded_flags) == plain &&
                 padded_flags == plain_flags,
             "blanks around the text change nothing");

  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    unsigned negative_flags = 0;
    const int64_t negative = parse_value(("-" + text).c_str(), SIZE_MAX, &negative_flags);
    FUZZ_CHECK(static_cast<uint64_t>(negative) == 0 - static_cast<uint64_t>(plain) &&
                   negative_flags == (plain_flags | PARSE_NEGATIVE),
               "a leading minus negates the number");
  }
  return 0;
}
