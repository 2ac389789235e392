// The runtime's Lock and Semaphore beside std::mutex and a
// std::condition_variable hand-over. The std primitives are references only.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/lock.h"
#include "base/semaphore.h"

namespace {

// glibc drops the bus lock from its mutex while a process has never had a
// second thread. The program always runs with several threads, so both
// uncontended cases are measured in a process that has had one.
void become_multithreaded() {
  static const bool done = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)done;
}

void BM_LockUncontended(benchmark::State& state) {
  static Lock lock;
  become_multithreaded();
  for (auto _ : state) {
    lock_acquire(&lock);
    benchmark::ClobberMemory();
    lock_release(&lock);
  }
}
BENCHMARK(BM_LockUncontended);

void BM_StdMutexUncontended(benchmark::State& state) {
  static std::mutex m;
  become_multithreaded();
  for (auto _ : state) {
    m.lock();
    benchmark::ClobberMemory();
    m.unlock();
  }
}
BENCHMARK(BM_StdMutexUncontended);

// One iteration is a round trip: the main thread posts, the partner takes the
// unit and posts back, the main thread takes that.
void BM_SemaphoreHandover(benchmark::State& state) {
  Semaphore there{}, back{};
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      (void)semaphore_wait(&there, nullptr, -1);
      if (stop.load(std::memory_order_relaxed)) return;
      semaphore_post(&back);
    }
  });
  for (auto _ : state) {
    semaphore_post(&there);
    (void)semaphore_wait(&back, nullptr, -1);
  }
  stop = true;
  semaphore_post(&there);
  partner.join();
}
BENCHMARK(BM_SemaphoreHandover)->UseRealTime();

void BM_StdCondvarHandover(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;  // 1: the partner's move, 0: the main thread's
  bool stop = false;
  std::thread partner([&] {
    std::unique_lock<std::mutex> guard(m);
    for (;;) {
      cv.wait(guard, [&] { return turn == 1 || stop; });
      if (stop) return;
      turn = 0;
      cv.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> guard(m);
    turn = 1;
    cv.notify_all();
    cv.wait(guard, [&] { return turn == 0; });
  }
  {
    std::lock_guard<std::mutex> guard(m);
    stop = true;
  }
  cv.notify_all();
  partner.join();
}
BENCHMARK(BM_StdCondvarHandover)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
