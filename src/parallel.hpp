#pragma once
/// The parallel map used for the per-feature work of a node: contiguous chunks
/// of items on short-lived OS threads, results returned in item order, so a
/// parallel run gives exactly what a sequential loop would.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

namespace quor {

namespace detail {
/// Runs task(w) for w in [0, n_workers), each on its own thread with a 2 MiB
/// stack, and joins them all in creation order before returning. A failure to
/// create a thread throws InternalError "failed to spawn thread: …"; a worker
/// that threw makes it throw InternalError "worker thread panicked" (or
/// std::bad_alloc when the worker ran out of memory). Either way every worker
/// that was started has ended first.
void run_workers(std::size_t n_workers, const std::function<void(std::size_t)>& task);
}  // namespace detail

/// operation(i) for i in [0, n_items), on min(n_threads, n_items) threads in
/// chunks of ⌈N/T⌉ items; result k belongs to item k. One item runs on the
/// calling thread. The operation must be safe to run concurrently.
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

}  // namespace quor
