#include "wire/common/handle.h"

#include <atomic>
#include <mutex>

namespace quillet {
namespace {

void no_op(void*) {}

std::atomic<Handle::Hook> g_retain{no_op};
std::atomic<Handle::Hook> g_release{no_op};
bool g_installed = false;  // guarded by g_install_lock
std::mutex g_install_lock;

}  // namespace

bool Handle::install_hooks(Hook retain, Hook release) {
  std::lock_guard<std::mutex> guard(g_install_lock);
  if (!g_installed) {
    g_retain.store(retain);
    g_release.store(release);
    g_installed = true;
    return true;
  }
  return g_retain.load() == retain && g_release.load() == release;
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    void* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    if (old != nullptr) g_release.load(std::memory_order_relaxed)(old);
  }
  return *this;
}

Handle::~Handle() {
  if (object_ != nullptr) g_release.load(std::memory_order_relaxed)(object_);
}

Handle Handle::retain(void* object) {
  if (object != nullptr) g_retain.load(std::memory_order_relaxed)(object);
  return Handle(object);
}

}  // namespace quillet
