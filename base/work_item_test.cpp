#include "base/work_item.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "base/semaphore.h"
#include "base/signal.h"
#include "base/thread.h"

namespace {

struct Batch {
  std::unique_ptr<std::atomic<int>[]> runs;
  Semaphore done{};
};

struct Item {
  Batch* batch;
  int index;
};

void run_item(void* a) {
  auto* item = static_cast<Item*>(a);
  item->batch->runs[static_cast<size_t>(item->index)].fetch_add(1);
  semaphore_post(&item->batch->done);
}

TEST(WorkItem, TenThousandItemsRunExactlyOnce) {
  constexpr int ITEMS = 10000;
  Batch batch;
  batch.runs = std::make_unique<std::atomic<int>[]>(ITEMS);
  auto items = std::make_unique<Item[]>(ITEMS);
  for (int i = 0; i < ITEMS; ++i) {
    items[static_cast<size_t>(i)] = Item{&batch, i};
    ASSERT_TRUE(work_item_run(run_item, &items[static_cast<size_t>(i)]));
  }
  for (int i = 0; i < ITEMS; ++i) ASSERT_TRUE(semaphore_wait(&batch.done, nullptr, 30000));
  for (int i = 0; i < ITEMS; ++i) ASSERT_EQ(batch.runs[static_cast<size_t>(i)].load(), 1) << i;
  int32_t threads = 0;
  threads_count(&threads, nullptr);
  EXPECT_LT(threads, ITEMS / 10) << "idle workers must be reused";
}

struct Where {
  std::atomic<uint64_t> thread{0};
  Semaphore done{};
};

void note_thread(void* a) {
  auto* w = static_cast<Where*>(a);
  w->thread = os_thread_id();
  semaphore_post(&w->done);
}

// A parked worker takes the next item: no thread is created.
TEST(WorkItem, ParkedWorkerIsReused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Where a;
        Where b;
        if (!work_item_run(note_thread, &a) || !semaphore_wait(&a.done, nullptr, 10000)) std::exit(2);
        int32_t before = 0;
        threads_count(&before, nullptr);
        sleep_ms(50);  // let the worker park
        if (!work_item_run(note_thread, &b) || !semaphore_wait(&b.done, nullptr, 10000)) std::exit(3);
        int32_t after = 0;
        threads_count(&after, nullptr);
        std::exit(before == 1 && after == 1 && a.thread.load() == b.thread.load() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// After shutdown has begun, an item still runs, once, on a worker that then
// ends instead of parking.
TEST(WorkItem, AfterShutdownItemRunsOnceAndWorkerEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal_set(signal_get(SIGNAL_SHUTDOWN));
        Where a;
        if (!work_item_run(note_thread, &a) || !semaphore_wait(&a.done, nullptr, 10000)) std::exit(2);
        for (int i = 0; i < 1000; ++i) {
          int32_t finished = 0;
          threads_count(nullptr, &finished);
          if (finished == 1) std::exit(0);
          sleep_ms(5);
        }
        std::exit(1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
