#include "worker_thread.hpp"

#include <pthread.h>

namespace zantu::core::detail {
namespace {

struct Job {
  void (*body)(void*);
  void* ctx;
  bool panicked = false;
};

void* worker_main(void* arg) noexcept {
  auto* job = static_cast<Job*>(arg);
  // An exception must not leave a thread's start routine (that would end the
  // whole process); it comes back to the caller as a flag instead.
  try {
    job->body(job->ctx);
  } catch (...) {
    job->panicked = true;
  }
  return nullptr;
}

// Owns an initialised pthread_attr_t.
class ThreadAttr {
 public:
  ThreadAttr() noexcept : rc_(pthread_attr_init(&attr_)) {}
  ~ThreadAttr() {
    if (rc_ == 0) pthread_attr_destroy(&attr_);
  }
  ThreadAttr(const ThreadAttr&) = delete;
  ThreadAttr& operator=(const ThreadAttr&) = delete;

  [[nodiscard]] int init_error() const noexcept { return rc_; }
  [[nodiscard]] pthread_attr_t* get() noexcept { return &attr_; }

 private:
  pthread_attr_t attr_;
  int rc_;
};

}  // namespace

WorkerOutcome run_on_worker(std::size_t stack_len, void (*body)(void*), void* ctx) noexcept {
  ThreadAttr attr;
  if (int rc = attr.init_error(); rc != 0) return {WorkerOutcome::Kind::NotStarted, rc};
  if (int rc = pthread_attr_setstacksize(attr.get(), stack_len); rc != 0) {
    return {WorkerOutcome::Kind::NotStarted, rc};
  }
  Job job{body, ctx};
  pthread_t thread;
  if (int rc = pthread_create(&thread, attr.get(), worker_main, &job); rc != 0) {
    return {WorkerOutcome::Kind::NotStarted, rc};
  }
  // pthread_join cannot fail here: the thread is ours, joinable and not joined yet.
  pthread_join(thread, nullptr);
  return {job.panicked ? WorkerOutcome::Kind::Panicked : WorkerOutcome::Kind::Finished, 0};
}

}  // namespace zantu::core::detail
