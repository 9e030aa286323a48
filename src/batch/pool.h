// A fixed pool of worker threads that runs one loop over many items at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vantor::batch {

class WorkerPool {
 public:
  // threads >= 1 takes part in every loop: the calling thread and threads - 1 workers.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // One past the last item of thread's share of a loop over count items.
  int share_end(int count, int thread) const {
    return static_cast<int>(std::int64_t{count} * (thread + 1) / size());
  }

  // Calls body(item, thread) for every item in [0, count), split into one contiguous
  // share per thread, the same share for the same count every time: a game's memory is
  // then allocated and freed by one thread only, which keeps each thread on its own
  // allocator arena. thread is 0 .. size() - 1 and names the thread's own scratch space.
  // Returns when every item is done; the first exception thrown by a body is rethrown
  // then.
  template <class Body>
  void for_each(int count, Body& body) {
    run(count, [](void* context, int item, int thread) { (*static_cast<Body*>(context))(item, thread); }, &body);
  }

 private:
  using Task = void (*)(void* context, int item, int thread);

  void run(int count, Task task, void* context);
  // Ends and joins the workers started so far.
  void stop();
  void work(int thread);
  void share(int thread);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  // Written under mutex_; read without it by a worker that spins before it sleeps.
  std::atomic<std::uint64_t> generation_ = 0;
  std::atomic<int> busy_ = 0;
  bool stopping_ = false;

  // The loop being run.
  Task task_ = nullptr;
  void* context_ = nullptr;
  int count_ = 0;
  std::exception_ptr error_;
};

}  // namespace vantor::batch
