#include "Support/ExecutorCheck.hpp"

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <typeinfo>

#include "Support/Async.hpp"

namespace vantrel {
namespace {

struct Probes {
  std::mutex mutex;
  std::map<std::type_index, std::function<bool(const Executor&)>> byType;
};

Probes& probes() {
  static Probes instance;
  return instance;
}

template <typename E>
bool answerAs(const Executor& executor, bool& known) noexcept {
  // Asio's `target<E>()` does not compare types: ask the type first.
  if (executor.target_type() != typeid(E)) return false;
  const E* target = executor.target<E>();
  if (target == nullptr) return false;
  known = true;
  return target->running_in_this_thread();
}

}  // namespace

bool runsOnThisThread(const Executor& executor) noexcept {
  if (!executor) return true;
  bool known = false;
  using Tracked = asio::io_context::basic_executor_type<std::allocator<void>, 4>;  // outstanding work
  bool answer = answerAs<asio::io_context::executor_type>(executor, known);
  if (!known) answer = answerAs<Tracked>(executor, known);
  if (!known) answer = answerAs<Strand>(executor, known);
  if (!known) answer = answerAs<asio::strand<asio::io_context::executor_type>>(executor, known);
  if (known) return answer;
  std::function<bool(const Executor&)> probe;
  {
    auto& all = probes();
    std::lock_guard lock(all.mutex);
    auto found = all.byType.find(std::type_index(executor.target_type()));
    if (found == all.byType.end()) return true;
    probe = found->second;
  }
  return probe(executor);
}

void registerExecutorThreadProbe(std::type_index type, std::function<bool(const Executor&)> probe) {
  auto& all = probes();
  std::lock_guard lock(all.mutex);
  all.byType.insert_or_assign(type, std::move(probe));
}

namespace executor_check_detail {

void wrongThread(const char* function, const char* file, int line) noexcept {
  std::fprintf(stderr, "%s:%d: %s called off the executor it belongs to\n", file, line, function);
  std::fflush(stderr);
  std::abort();
}

}  // namespace executor_check_detail
}  // namespace vantrel
