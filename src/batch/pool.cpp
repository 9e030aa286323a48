#include "batch/pool.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace vantor::batch {

namespace {

constexpr int kSpinMicroseconds = 200;

// Steps come back to back, so a thread that has just finished its share looks for the
// next loop (or the others' end) for a few microseconds before it sleeps: waking a
// sleeping thread costs as much as a tenth of a step.
template <class Ready>
void spin(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
  while (!ready() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

}  // namespace

WorkerPool::WorkerPool(int threads) {
  workers_.reserve(static_cast<std::size_t>(std::max(threads, 1) - 1));
  try {
    for (int t = 1; t < threads; ++t) workers_.emplace_back([this, t] { work(t); });
  } catch (...) {
    // The system refused a thread (a process limit): the ones started must be joined
    // before the exception leaves, or their destruction would end the process.
    stop();
    throw;
  }
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void WorkerPool::run(int count, Task task, void* context) {
  if (count <= 0) return;
  // A lone item is not worth waking anyone for.
  if (workers_.empty() || count == 1) {
    for (int item = 0; item < count; ++item) task(context, item, 0);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    task_ = task;
    context_ = context;
    count_ = count;
    error_ = nullptr;
    busy_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  share(0);
  spin([this] { return busy_.load() == 0; });
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return busy_ == 0; });
  task_ = nullptr;
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void WorkerPool::work(int thread) {
  std::uint64_t seen = 0;
  for (;;) {
    spin([&] { return generation_.load() != seen; });
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    share(thread);
    std::lock_guard lock(mutex_);
    if (--busy_ == 0) done_.notify_one();
  }
}

void WorkerPool::share(int thread) {
  const int begin = thread == 0 ? 0 : share_end(count_, thread - 1);
  const int end = share_end(count_, thread);
  try {
    for (int item = begin; item < end; ++item) task_(context_, item, thread);
  } catch (...) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::current_exception();
  }
}

}  // namespace vantor::batch
