// Helper threads of a worker that shares its state under one mutex: started
// as far as the system allows (with fewer, the owner does the rest itself;
// the output never depends on how many ran), told to stop and joined when the
// owner goes. Declared as the owner's last member, so that they are joined
// before anything they use is destroyed.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

class HelperThreads {
 public:
  HelperThreads() = default;
  HelperThreads(const HelperThreads&) = delete;
  HelperThreads& operator=(const HelperThreads&) = delete;
  ~HelperThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop_ = true;
    }
    changed.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  // Up to count threads running body, which returns once Stopping().
  template <class Body>
  void Start(int count, Body body) {
    try {
      for (int t = 0; t < count; ++t) threads_.emplace_back(body);
    } catch (const std::system_error&) {
    }
  }

  // With the mutex held.
  bool Stopping() const { return stop_; }

  std::mutex mutex;
  std::condition_variable changed;   // notified whenever the shared state changes

 private:
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// Threads for a job: the count asked for (at most 16), else one per
// processor, up to 4.
inline int ThreadCount(int asked) {
  if (asked > 0) return std::min(asked, 16);
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 4u));
}
