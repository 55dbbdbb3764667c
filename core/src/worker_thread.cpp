#include "worker_thread.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <expected>
#include <utility>

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

// A thread stack of its own mapping, with a guard page below it; unmapped
// when dropped.
class Stack {
 public:
  [[nodiscard]] static std::expected<Stack, int> map(std::size_t len) noexcept {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    len = (len + page - 1) / page * page;
    void* p = ::mmap(nullptr, len + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (p == MAP_FAILED) return std::unexpected(errno);
    Stack stack(static_cast<std::uint8_t*>(p), len + page, page);
    if (::mprotect(p, page, PROT_NONE) != 0) return std::unexpected(errno);
    return stack;
  }
  Stack(Stack&& o) noexcept
      : mapping_(std::exchange(o.mapping_, nullptr)), mapping_len_(o.mapping_len_), guard_len_(o.guard_len_) {}
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  Stack& operator=(Stack&&) = delete;
  ~Stack() {
    if (mapping_ != nullptr) ::munmap(mapping_, mapping_len_);
  }

  [[nodiscard]] void* base() const noexcept { return mapping_ + guard_len_; }
  [[nodiscard]] std::size_t len() const noexcept { return mapping_len_ - guard_len_; }

 private:
  Stack(std::uint8_t* mapping, std::size_t mapping_len, std::size_t guard_len) noexcept
      : mapping_(mapping), mapping_len_(mapping_len), guard_len_(guard_len) {}

  std::uint8_t* mapping_;
  std::size_t mapping_len_;
  std::size_t guard_len_;
};

}  // namespace

WorkerOutcome run_on_worker(std::size_t stack_len, void (*body)(void*), void* ctx) noexcept {
  ThreadAttr attr;
  if (int rc = attr.init_error(); rc != 0) return {WorkerOutcome::Kind::NotStarted, rc};
  // The stack is ours, not the thread library's: the library would keep a
  // joined thread's stack for its next thread, with whatever the worker's
  // frames (a key derivation's among them) left there. Ours is unmapped once
  // the thread is joined.
  auto stack = Stack::map(stack_len);
  if (!stack) return {WorkerOutcome::Kind::NotStarted, stack.error()};
  if (int rc = pthread_attr_setstack(attr.get(), stack->base(), stack->len()); rc != 0) {
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
