#pragma once
/// Stopping a long computation from outside it. The thread that starts the
/// computation owns an `Interrupt` with a poll function (the boundary's asks
/// Python whether Ctrl-C was pressed); every thread of the computation calls
/// `check()` at points that come often (each node of a tree), which ends the
/// computation with `Interrupted` once a stop is requested. Only the owning
/// thread ever runs the poll function, at most once per interval; other
/// threads only read a flag. While the owner waits for worker threads it
/// keeps polling (`parallel.cpp`), so a computation that runs entirely on
/// workers stops as promptly as one that runs on the owner.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace quor {

class Interrupt {
 public:
  /// `poll` returns true when the computation must stop; it is called on the
  /// constructing thread only. The new interrupt is that thread's active one
  /// until it is destroyed (interrupts nest).
  explicit Interrupt(std::function<bool()> poll,
                     std::chrono::milliseconds interval = std::chrono::milliseconds(5));
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  /// Throws `Interrupted` when a stop was requested; on the owning thread it
  /// first polls when the interval has passed since the last poll.
  void check();
  /// On the owning thread: polls now (whatever the interval) and returns
  /// whether a stop is requested. Never throws.
  bool poll_now() noexcept;
  /// Asks every thread of the computation to stop at its next check.
  void request_stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stopped_.load(std::memory_order_relaxed); }
  std::chrono::milliseconds interval() const noexcept { return interval_; }

  /// The interrupt owned by the calling thread, or nullptr.
  static Interrupt* active() noexcept;

 private:
  std::function<bool()> poll_;
  std::chrono::milliseconds interval_;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point last_poll_;
  std::atomic<bool> stopped_{false};
  Interrupt* previous_;  // the owner's active interrupt before this one
};

/// `interrupt->check()` when there is an interrupt.
inline void check_interrupt(Interrupt* interrupt) {
  if (interrupt != nullptr) interrupt->check();
}

}  // namespace quor
