#include "interrupt.hpp"

#include <utility>

#include "errors.hpp"

namespace quor {

namespace {
thread_local Interrupt* t_active = nullptr;
}  // namespace

Interrupt::Interrupt(std::function<bool()> poll, std::chrono::milliseconds interval)
    : poll_(std::move(poll)),
      interval_(interval),
      owner_(std::this_thread::get_id()),
      last_poll_(std::chrono::steady_clock::now()),
      previous_(t_active) {
  t_active = this;
}

Interrupt::~Interrupt() { t_active = previous_; }

Interrupt* Interrupt::active() noexcept { return t_active; }

bool Interrupt::poll_now() noexcept {
  if (!stop_requested() && std::this_thread::get_id() == owner_) {
    last_poll_ = std::chrono::steady_clock::now();
    bool stop = true;  // a poll function that fails stops the computation
    try {
      stop = poll_();
    } catch (...) {
    }
    if (stop) request_stop();
  }
  return stop_requested();
}

void Interrupt::check() {
  if (!stop_requested() && std::this_thread::get_id() == owner_ &&
      std::chrono::steady_clock::now() - last_poll_ >= interval_) {
    poll_now();
  }
  if (stop_requested()) throw Interrupted();
}

}  // namespace quor
