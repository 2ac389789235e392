#include "base/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "base/lock.h"
#include "base/thread.h"
#include "base/wait.h"

namespace {

uint64_t g_fake_now = 0;
uint32_t fake_read32() { return static_cast<uint32_t>(g_fake_now); }

// The 32-bit extension must follow the true 64-bit time across many wraps as
// long as it is read at least every 2^31 ms.
TEST(RuntimeTick, ExtensionFollowsTrueTimeAcrossWraps) {
  const struct {
    uint64_t start;
    uint64_t step;
  } cases[] = {
      {0, 0x7FFFFFFF},            // the largest step allowed
      {0x7FFFFFF0, 1},            // crawling over the half wrap
      {0xFFFFFF00, 37},           // over the full wrap
      {0, 0x40000001},
      {0x80000000, 0x12345678},   // first read in the upper half
  };
  for (const auto& c : cases) {
    TickExtender x{fake_read32, Lock{}, 0};
    g_fake_now = c.start;
    uint64_t last = 0;
    for (int i = 0; i < 2000; ++i) {
      const uint64_t got = tick_extend(&x);
      ASSERT_EQ(got, g_fake_now) << "start " << c.start << " step " << c.step << " read " << i;
      ASSERT_GE(got, last);
      last = got;
      g_fake_now += c.step;
    }
  }
}

TEST(RuntimeTick, MonotonicClockAdvancesDuringSleep) {
  const uint64_t a = tick_ms();
  sleep_ms(30);
  const uint64_t b = tick_ms();
  EXPECT_GE(b - a, 29u);
  EXPECT_LT(b - a, 2000u);
}

TEST(RuntimePages, SmallAndLargeAllocationsAreUsable) {
  for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{1} << 20}) {
    auto* p = static_cast<unsigned char*>(page_alloc(size));
    ASSERT_NE(p, nullptr) << size;
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[size - 1], 0);
    std::memset(p, 0xAB, size);
    page_free(p, size);
  }
  page_free(nullptr, 8192);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(RuntimeFatal, PrintsCutFileNameAndEndsWith255) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string long_message(300, 'x');
  const struct {
    const char* file;
    int line;
    const char* message;
    std::string expect;
  } cases[] = {
      {"/home/dev/zuvo/base/runtime.cpp", 42, "broken\n", "FATAL: runtime.cpp:42 broken\n"},
      {"plain", 7, nullptr, "FATAL: plain:7 "},
      {"base\\jindex", 1, "m", "FATAL: base\\jindex:1 m"},
      {"a/b", 3, long_message.c_str(), ("FATAL: b:3 " + long_message).substr(0, 199)},
  };
  const std::string out = testing::TempDir() + "runtime_fatal.txt";
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          if (!std::freopen(out.c_str(), "w", stdout)) std::abort();
          fatal_error(c.file, c.line, c.message);
        },
        testing::ExitedWithCode(255), "");
    EXPECT_EQ(read_file(out), c.expect);
  }
  std::remove(out.c_str());
}

// Without a RuntimeBlock (what a failed start-up leaves, and what remains after
// the exit handler) locks only record owners, waits poll, and no thread starts.
TEST(RuntimeExit, WithoutBlockLocksAndWaitsStillWork) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        runtime_start();
        runtime_exit();
        bool ok = runtime_block() == nullptr;
        RecursiveLock r{};
        rlock_acquire(&r);
        rlock_acquire(&r);
        ok = ok && r.depth == 2 && r.lock.owner == os_thread_id();
        rlock_release(&r);
        rlock_release(&r);
        ok = ok && r.depth == 0 && r.lock.owner == 0;
        ok = ok && !thread_start([](void*) {}, nullptr, nullptr, nullptr, 0);
        WaitBlock timed{};
        const uint64_t t0 = tick_ms();
        ok = ok && !wait_block_wait(&timed, 30, false) && tick_ms() - t0 >= 29;
        for (int i = 0; i < 200 && ok; ++i) {
          auto* block = new WaitBlock{};
          std::atomic<bool> done{false};
          std::thread signaller([&] {
            if (i % 2) std::this_thread::yield();
            wait_block_signal(block);
            done = true;
          });
          const bool got = wait_block_wait(block, i % 3 == 0 ? -1 : (i % 3), false);
          if (!got) {
            while (!done) std::this_thread::yield();
          }
          delete block;  // a signaller still touching it would be caught here
          signaller.join();
        }
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
