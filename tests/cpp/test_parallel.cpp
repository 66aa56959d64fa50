#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "errors.hpp"
#include "parallel.hpp"

namespace quor {
namespace {

class ParallelMapTest : public ::testing::TestWithParam<std::tuple<std::uint64_t, std::uint64_t>> {};

TEST_P(ParallelMapTest, MatchesSequentialLoopItemByItem) {
  const auto [n_items, n_threads] = GetParam();
  const auto op = [](std::uint64_t i) { return std::vector<std::uint64_t>(i % 4, i * 7 + 1); };
  std::vector<std::vector<std::uint64_t>> expected;
  for (std::uint64_t i = 0; i < n_items; ++i) expected.push_back(op(i));
  EXPECT_EQ(parallel_map(n_items, n_threads, op), expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ParallelMapTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 9, 10, 20, 101),
                                            ::testing::Values(2, 3, 4, 8, 16, 64)));

// Chunks are contiguous runs of ⌈N/T⌉ items, one thread each: the first on
// the calling thread, every other on a thread of its own.
TEST(ParallelMap, ChunksAreContiguousAndOnePerThread) {
  struct Case {
    std::uint64_t n, threads, expected_workers;
  };
  for (const Case c : {Case{10, 4, 4}, Case{9, 4, 3}, Case{3, 16, 3}, Case{1, 8, 0}}) {
    std::vector<std::thread::id> ids(c.n);
    parallel_map(c.n, c.threads, [&](std::uint64_t i) {
      ids[i] = std::this_thread::get_id();
      return 0;
    });
    std::vector<std::thread::id> distinct;
    for (std::uint64_t i = 0; i < c.n; ++i) {
      if (i == 0 || ids[i] != ids[i - 1]) distinct.push_back(ids[i]);
    }
    if (c.expected_workers == 0) {
      // A single item runs on the calling thread.
      EXPECT_EQ(ids[0], std::this_thread::get_id());
    } else {
      EXPECT_EQ(distinct.size(), c.expected_workers) << c.n << " items on " << c.threads;
      EXPECT_EQ(distinct.front(), std::this_thread::get_id());
      for (std::size_t w = 1; w < distinct.size(); ++w) EXPECT_NE(distinct[w], std::this_thread::get_id());
    }
  }
}

TEST(ParallelMap, FailingWorkerIsReportedAfterAllWorkersEnded) {
  std::atomic<int> finished{0};
  try {
    parallel_map(8, 4, [&](std::uint64_t i) {
      if (i == 2) throw InternalError("index out of bounds");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ++finished;
      return i;
    });
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "worker thread panicked");
  }
  // The worker that failed abandons its chunk (items 2 and 3); all others ran.
  EXPECT_EQ(finished.load(), 6);
}

TEST(ParallelMap, OutOfMemoryInAWorkerStaysOutOfMemory) {
  EXPECT_THROW(parallel_map(4, 2,
                            [](std::uint64_t i) -> int {
                              if (i == 3) throw std::bad_alloc();
                              return 0;
                            }),
               std::bad_alloc);
}

TEST(ParallelMap, WorkersGetAtLeastTwoMebibytesOfStack) {
  // 1.5 MiB of locals would overflow a default-sized worker on some systems.
  const auto deep = [](std::uint64_t i) {
    volatile char buffer[1536 * 1024];
    buffer[0] = static_cast<char>(i);
    buffer[sizeof buffer - 1] = 1;
    return buffer[0] + buffer[sizeof buffer - 1];
  };
  const auto results = parallel_map(4, 4, deep);
  EXPECT_EQ(results, (std::vector<int>{1, 2, 3, 4}));
}

// A task n spawns tasks 2n and 2n + 1 below a bound: every task of the
// binary tree runs exactly once, on up to the pool's thread count.
TEST(TaskPool, RunsEveryTaskAndEveryTaskItPushesOnce) {
  for (const std::uint64_t threads : {1u, 2u, 3u, 8u}) {
    std::mutex mutex;
    std::multiset<std::uint64_t> seen;
    std::set<std::thread::id> workers;
    run_task_pool(std::vector<std::uint64_t>{1}, threads, [](std::uint64_t t) { return t; },
                  [&](std::size_t worker, std::uint64_t task, const auto& push, std::size_t) {
                    EXPECT_LT(worker, threads);
                    {
                      std::lock_guard<std::mutex> lock(mutex);
                      seen.insert(task);
                      workers.insert(std::this_thread::get_id());
                    }
                    if (2 * task < 2000) {
                      push(2 * task);
                      push(2 * task + 1);
                    }
                  });
    ASSERT_EQ(seen.size(), 1999u) << threads;
    for (std::uint64_t t = 1; t < 2000; ++t) EXPECT_EQ(seen.count(t), 1u) << t;
    EXPECT_LE(workers.size(), threads);  // the calling thread is one of them
  }
}

TEST(TaskPool, NoTasksStartsNoThread) {
  bool ran = false;
  run_task_pool(std::vector<int>{}, 4, [](int) { return 0; },
                [&](std::size_t, int, const auto&, std::size_t) { ran = true; });
  EXPECT_FALSE(ran);
}

// One worker takes the pending tasks heaviest first.
TEST(TaskPool, TakesTheHeaviestPendingTaskFirst) {
  std::vector<int> order;
  run_task_pool(std::vector<int>{3, 9, 1, 7}, 1, [](int t) { return t; },
                [&](std::size_t, int task, const auto& push, std::size_t) {
                  order.push_back(task);
                  if (task == 9) push(8);
                });
  EXPECT_EQ(order, (std::vector<int>{9, 8, 7, 3, 1}));
}

// A task taken when nothing else is pending may use the workers left idle.
TEST(TaskPool, ReportsTheWorkersLeftIdle) {
  std::size_t idle_at_root = 99;
  run_task_pool(std::vector<int>{0}, 4, [](int) { return 0; },
                [&](std::size_t, int, const auto&, std::size_t idle) { idle_at_root = idle; });
  EXPECT_EQ(idle_at_root, 3u);
  std::vector<std::size_t> idle_seen;
  run_task_pool(std::vector<int>{1, 2, 3}, 1, [](int t) { return t; },
                [&](std::size_t, int, const auto&, std::size_t idle) { idle_seen.push_back(idle); });
  EXPECT_EQ(idle_seen, (std::vector<std::size_t>{0, 0, 0}));
}

// A failing task stops the pool (no waiting worker hangs) and is reported as a
// failing parallel_map worker is.
TEST(TaskPool, AFailingTaskStopsThePoolAndIsReported) {
  std::atomic<int> ran{0};
  try {
    run_task_pool(std::vector<int>{0}, 3, [](int) { return 0; }, [&](std::size_t, int task, const auto& push, std::size_t) {
      ++ran;
      if (task == 5) throw InternalError("index out of bounds");
      if (task < 5) push(task + 1);
    });
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "worker thread panicked");
  }
  EXPECT_EQ(ran.load(), 6);
  EXPECT_THROW(run_task_pool(std::vector<int>{0, 1}, 2, [](int) { return 0; },
                             [](std::size_t, int, const auto&, std::size_t) { throw std::bad_alloc(); }),
               std::bad_alloc);
}

}  // namespace
}  // namespace quor
