#include "parallel.hpp"

#include <pthread.h>

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "errors.hpp"

namespace quor::detail {

namespace {

constexpr std::size_t kWorkerStackBytes = 2u << 20;

struct Worker {
  const std::function<void(std::size_t)>* task = nullptr;
  std::size_t index = 0;
  pthread_t thread{};
  bool started = false;
  std::exception_ptr failure;
};

void* worker_main(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  try {
    (*worker->task)(worker->index);
  } catch (...) {
    worker->failure = std::current_exception();
  }
  return nullptr;
}

bool is_out_of_memory(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

void run_workers(std::size_t n_workers, const std::function<void(std::size_t)>& task) {
  std::vector<Worker> workers(n_workers);
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    throw InternalError("failed to spawn thread: " + std::string(std::strerror(rc)));
  }
  pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  std::string spawn_error;
  for (std::size_t w = 0; w < n_workers; ++w) {
    workers[w].task = &task;
    workers[w].index = w;
    if (int rc = pthread_create(&workers[w].thread, &attr, worker_main, &workers[w]); rc != 0) {
      spawn_error = "failed to spawn thread: " + std::string(std::strerror(rc));
      break;
    }
    workers[w].started = true;
  }
  pthread_attr_destroy(&attr);

  // Every started worker is joined before anything is reported, so none
  // outlives the data it reads.
  bool panicked = false;
  bool out_of_memory = false;
  for (Worker& worker : workers) {
    if (!worker.started) continue;
    const int rc = pthread_join(worker.thread, nullptr);
    if (!spawn_error.empty() || panicked || out_of_memory) continue;
    if (rc != 0) {
      panicked = true;
    } else if (worker.failure) {
      (is_out_of_memory(worker.failure) ? out_of_memory : panicked) = true;
    }
  }
  if (!spawn_error.empty()) throw InternalError(spawn_error);
  if (out_of_memory) throw std::bad_alloc();
  if (panicked) throw InternalError("worker thread panicked");
}

}  // namespace quor::detail
