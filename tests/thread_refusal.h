#pragma once
// Threads refused on demand, as on a machine at its limit of threads: while
// a refusal lives, every new thread of this process fails to start
// (std::thread throws std::system_error) and is counted. Include it in one
// file of a test program: it stands in for the system's pthread_create.

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace thread_refusal_state {
inline std::atomic<bool> refusing{false};
inline std::atomic<int>  refused{0};
}  // namespace thread_refusal_state

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
  using create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  // Under the sanitizers their own pthread_create comes first: it must see
  // every thread.
  static auto real = [] {
    auto sanitizer = dlsym(RTLD_DEFAULT, "__interceptor_pthread_create");
    return (create)(sanitizer ? sanitizer : dlsym(RTLD_NEXT, "pthread_create"));
  }();
  if (thread_refusal_state::refusing) {
    thread_refusal_state::refused++;
    return EAGAIN;
  }
  return real(thread, attributes, start, argument);
}

// While it lives no thread starts; `refused()` counts those that tried.
struct thread_refusal {
  thread_refusal() {
    thread_refusal_state::refused = 0;
    thread_refusal_state::refusing = true;
  }
  ~thread_refusal() { thread_refusal_state::refusing = false; }
  int refused() const { return thread_refusal_state::refused; }
  thread_refusal(const thread_refusal&) = delete;
  thread_refusal& operator=(const thread_refusal&) = delete;
};
