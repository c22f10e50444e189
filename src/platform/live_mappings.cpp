#include "platform/live_mappings.h"

#include <pthread.h>

#include <cstdint>
#include <map>

namespace ombrel::platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<FileIdentity, uint64_t> views;  // identity -> number of live views; no zero entries
};

// Never destroyed: a mapping owned by an object that dies during static destruction (a Python instance
// freed at interpreter exit, say) must still find the registry intact.
Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

// The registry is held across fork(), so that the child never inherits it locked by a thread that
// does not exist there. The child keeps the entries: fork() copies the mappings too.
void before_fork() noexcept {
  registry().mutex.lock();
}
void after_fork() noexcept {
  registry().mutex.unlock();
}
[[maybe_unused]] const int g_fork_handlers = pthread_atfork(&before_fork, &after_fork, &after_fork);

}  // namespace

LiveMappings::Guard LiveMappings::lock() {
  return Guard(std::unique_lock<std::mutex>(registry().mutex));
}

bool LiveMappings::Guard::contains(const FileIdentity& id) const {
  return registry().views.count(id) != 0;
}

void LiveMappings::Guard::add(const FileIdentity& id) {
  ++registry().views[id];
}

void LiveMappings::Guard::remove(const FileIdentity& id) noexcept {
  auto& views = registry().views;
  const auto it = views.find(id);
  if (it == views.end()) return;  // unbalanced remove; nothing to undo
  if (--it->second == 0) views.erase(it);
}

}  // namespace ombrel::platform
