#include "Support/Blocking.hpp"

#include <asio/execution/context.hpp>
#include <asio/execution_context.hpp>
#include <asio/query.hpp>

namespace vantrel {

BlockingPool::BlockingPool(std::size_t threads) {
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

BlockingPool::~BlockingPool() { stop(); }

bool BlockingPool::enqueue(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_.load(std::memory_order_relaxed)) return false;
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void BlockingPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_.load(std::memory_order_relaxed) || !queue_.empty(); });
      if (stopping_.load(std::memory_order_relaxed)) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

void BlockingPool::stop() {
  std::deque<std::function<void()>> dropped;
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stopping_.store(true, std::memory_order_release);
    dropped.swap(queue_);
    threads.swap(threads_);
  }
  wake_.notify_all();
  // The functions that never ran are destroyed here, outside the lock (they may own handlers
  // whose destruction ends coroutines).
  dropped.clear();
  for (auto& thread : threads) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

namespace {

// Ties a pool to an execution context: the pool is stopped in the context's shutdown, which
// runs before the context destroys the handlers still queued in it.
class BlockingPoolService : public asio::execution_context::service {
 public:
  static asio::execution_context::id id;

  explicit BlockingPoolService(asio::execution_context& context) : service(context) {}

  BlockingPool& pool() {
    std::lock_guard lock(mutex_);
    if (!pool_) pool_ = std::make_shared<BlockingPool>(2);
    return *pool_;
  }

  void adopt(std::shared_ptr<BlockingPool> pool) {
    std::lock_guard lock(mutex_);
    if (!pool_) pool_ = std::move(pool);
  }

 private:
  void shutdown() override {
    std::shared_ptr<BlockingPool> pool;
    {
      std::lock_guard lock(mutex_);
      pool = pool_;
    }
    if (pool) pool->stop();
  }

  std::mutex mutex_;
  std::shared_ptr<BlockingPool> pool_;
};

asio::execution_context::id BlockingPoolService::id;

}  // namespace

BlockingPool& blockingPoolOf(const Executor& executor) {
  auto& context = asio::query(executor, asio::execution::context);
  return asio::use_service<BlockingPoolService>(context).pool();
}

void adoptBlockingPool(asio::execution_context& context, std::shared_ptr<BlockingPool> pool) {
  asio::use_service<BlockingPoolService>(context).adopt(std::move(pool));
}

}  // namespace vantrel
