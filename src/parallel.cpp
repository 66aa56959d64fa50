#include "parallel.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "errors.hpp"
#include "interrupt.hpp"

namespace quor::detail {

namespace {

constexpr std::size_t kWorkerStackBytes = 2u << 20;

/// How many workers of one call have ended, for a caller that polls its
/// interrupt while it waits.
struct Finished {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t count = 0;
};

struct Worker {
  const std::function<void(std::size_t)>* task = nullptr;
  std::size_t index = 0;
  pthread_t thread{};
  bool started = false;
  std::exception_ptr failure;
  Finished* finished = nullptr;
};

void* worker_main(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  try {
    (*worker->task)(worker->index);
  } catch (...) {
    worker->failure = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> lock(worker->finished->mutex);
    ++worker->finished->count;
  }
  worker->finished->changed.notify_one();
  return nullptr;
}

enum class Failure { None, OutOfMemory, Interrupted, Panicked };

Failure failure_kind(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return Failure::OutOfMemory;
  } catch (const Interrupted&) {
    return Failure::Interrupted;
  } catch (...) {
    return Failure::Panicked;
  }
}

/// Waits until `started` workers have ended, polling the calling thread's
/// interrupt (if it has one) in the meantime: a stop it requests makes the
/// workers end at their next check.
void wait_for_workers(Finished& finished, std::size_t started) {
  Interrupt* interrupt = Interrupt::active();
  if (interrupt == nullptr) return;  // the joins wait
  std::unique_lock<std::mutex> lock(finished.mutex);
  while (finished.count < started) {
    if (finished.changed.wait_for(lock, interrupt->interval(), [&] { return finished.count >= started; })) break;
    lock.unlock();
    interrupt->poll_now();
    lock.lock();
  }
}

}  // namespace

void run_workers(std::size_t n_workers, const std::function<void(std::size_t)>& task) {
  std::vector<Worker> workers(n_workers);
  Finished finished;
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    throw InternalError("failed to spawn thread: " + std::string(std::strerror(rc)));
  }
  pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  std::string spawn_error;
  // Worker 0 runs on the calling thread, which would otherwise only wait: a
  // new thread then starts on a core nobody is using, where one created
  // beside a running sibling may wait a scheduler tick to move (milliseconds,
  // in every parallel phase of a fit).
  for (std::size_t w = 1; w < n_workers; ++w) {
    workers[w].task = &task;
    workers[w].index = w;
    workers[w].finished = &finished;
    if (int rc = pthread_create(&workers[w].thread, &attr, worker_main, &workers[w]); rc != 0) {
      spawn_error = "failed to spawn thread: " + std::string(std::strerror(rc));
      break;
    }
    workers[w].started = true;
  }
  pthread_attr_destroy(&attr);
  if (n_workers > 0 && spawn_error.empty()) {
    try {
      task(0);
    } catch (...) {
      workers[0].failure = std::current_exception();
    }
  }
  std::size_t started = 0;
  for (const Worker& worker : workers) started += worker.started ? 1 : 0;
  wait_for_workers(finished, started);

  // Every started worker is joined before anything is reported, so none
  // outlives the data it reads. The first failure met decides the report.
  Failure failure = Failure::None;
  for (Worker& worker : workers) {
    const int rc = worker.started ? pthread_join(worker.thread, nullptr) : 0;
    if (!spawn_error.empty() || failure != Failure::None) continue;
    if (rc != 0) {
      failure = Failure::Panicked;
    } else if (worker.failure) {
      failure = failure_kind(worker.failure);
    }
  }
  if (!spawn_error.empty()) throw InternalError(spawn_error);
  switch (failure) {
    case Failure::None: return;
    case Failure::OutOfMemory: throw std::bad_alloc();
    case Failure::Interrupted: throw Interrupted();
    case Failure::Panicked: throw InternalError("worker thread panicked");
  }
}

}  // namespace quor::detail
