#pragma once
/// The parallel map used for the per-feature work of a node: contiguous chunks
/// of items on short-lived OS threads, results returned in item order, so a
/// parallel run gives exactly what a sequential loop would. And a task pool for
/// work that spawns more work (the subtrees of a tree).

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace quor {

namespace detail {
/// Runs task(w) for w in [0, n_workers): task(0) on the calling thread, every
/// other on a thread of its own with a 2 MiB stack, and joins them all in
/// creation order before returning. A failure to
/// create a thread throws InternalError "failed to spawn thread: …"; a worker
/// that threw makes it throw InternalError "worker thread panicked" (or
/// std::bad_alloc when the worker ran out of memory, Interrupted when it was
/// stopped by an interrupt). Either way every worker that was started has
/// ended first. A calling thread with an active Interrupt keeps polling it
/// while it waits.
void run_workers(std::size_t n_workers, const std::function<void(std::size_t)>& task);
}  // namespace detail

/// operation(i) for i in [0, n_items), on min(n_threads, n_items) threads in
/// chunks of ⌈N/T⌉ items, the first chunk on the calling thread; result k
/// belongs to item k. The operation must be safe to run concurrently.
template <class Operation>
auto parallel_map(std::uint64_t n_items, std::uint64_t n_threads, const Operation& operation)
    -> std::vector<std::invoke_result_t<const Operation&, std::uint64_t>> {
  using Result = std::invoke_result_t<const Operation&, std::uint64_t>;
  std::vector<Result> out;
  if (n_items == 0) return out;
  if (n_items == 1) {
    out.push_back(operation(std::uint64_t{0}));
    return out;
  }
  const std::uint64_t threads = std::max<std::uint64_t>(1, std::min(n_threads, n_items));
  const std::uint64_t chunk = (n_items + threads - 1) / threads;
  const std::uint64_t n_workers = (n_items + chunk - 1) / chunk;
  std::vector<std::vector<Result>> chunks(n_workers);
  detail::run_workers(n_workers, [&](std::size_t w) {
    const std::uint64_t start = w * chunk;
    const std::uint64_t end = std::min(start + chunk, n_items);
    std::vector<Result>& results = chunks[w];
    results.reserve(end - start);
    for (std::uint64_t i = start; i < end; ++i) results.push_back(operation(i));
  });
  out.reserve(n_items);
  for (auto& results : chunks) {
    for (auto& r : results) out.push_back(std::move(r));
  }
  return out;
}

/// Runs process(worker, task, push, idle) for every task on `n_workers` threads
/// (the detail::run_workers threads, so with their stack size and failure
/// rules): the initial tasks and every task a process call hands to `push`. An
/// idle worker takes the pending task of the largest weight(task), so large
/// work starts early and the last tasks to run are small ones. `idle` is the
/// number of workers left with nothing to take when the task was taken (0
/// while other tasks are pending): threads the task may use inside itself.
/// Returns when no task is pending or running. After a task throws, no worker
/// takes another task. Tasks must not depend on each other's order: the pool
/// fixes none.
template <class Task, class Weight, class Process>
void run_task_pool(std::vector<Task> initial, std::uint64_t n_workers, const Weight& weight,
                   const Process& process) {
  if (initial.empty()) return;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Task> pending = std::move(initial);
  std::size_t running = 0;
  bool failed = false;
  const std::size_t workers = std::max<std::uint64_t>(1, n_workers);
  struct Taken {
    Task task;
    std::size_t idle;
  };
  const auto take = [&]() -> std::optional<Taken> {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return failed || !pending.empty() || running == 0; });
    if (failed || pending.empty()) return std::nullopt;
    auto heaviest = std::max_element(pending.begin(), pending.end(),
                                     [&](const Task& a, const Task& b) { return weight(a) < weight(b); });
    std::optional<Taken> taken(Taken{std::move(*heaviest), 0});
    if (heaviest != pending.end() - 1) *heaviest = std::move(pending.back());
    pending.pop_back();
    ++running;
    if (pending.empty()) taken->idle = workers - running;
    return taken;
  };
  const auto push = [&](Task task) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending.push_back(std::move(task));
    }
    changed.notify_one();
  };
  detail::run_workers(workers, [&](std::size_t worker) {
    try {
      while (std::optional<Taken> taken = take()) {
        process(worker, std::move(taken->task), push, taken->idle);
        {
          std::lock_guard<std::mutex> lock(mutex);
          --running;
        }
        // The last running task may have ended with nothing pending: wake
        // every waiting worker to see it.
        changed.notify_all();
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        failed = true;
      }
      changed.notify_all();
      throw;
    }
  });
}

/// work(t, begin, end) over rows [0, n) cut into contiguous ranges of whole
/// blocks of `block` rows, one range per thread, on min(n_threads, blocks)
/// threads (every t is called, a trailing range may be empty); on the calling
/// thread alone, as work(0, 0, n), when that is fewer than 2.
template <class Work>
void for_row_ranges(std::size_t n, std::size_t block, std::uint64_t n_threads, const Work& work) {
  const std::size_t n_blocks = (n + block - 1) / block;
  const std::size_t threads = std::min<std::uint64_t>(n_threads, n_blocks);
  if (threads < 2) {
    work(std::size_t{0}, std::size_t{0}, n);
    return;
  }
  const std::size_t per_thread = (n_blocks + threads - 1) / threads * block;
  parallel_map(threads, threads, [&](std::uint64_t t) {
    const std::size_t begin = std::min(n, static_cast<std::size_t>(t) * per_thread);
    work(static_cast<std::size_t>(t), begin, std::min(n, begin + per_thread));
    return 0;
  });
}

}  // namespace quor
