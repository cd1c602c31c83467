// Opaque references to objects that belong to the embedding layer.
//
// A connection state in wire/ keeps some objects it never looks at (a transport, an event, a
// task handle, a stored exception) only to hand them back at the right transition. wire/ sees
// them as a `Handle`: a move-only owner of one counted reference to an opaque object, whose
// retain and release functions the embedding layer installs once per process.
//
// Releasing may run the owner's code (a finaliser), so a state that runs under a lock never
// drops a Handle itself: it moves every reference it lets go of into a `HandleBin`, which the
// caller empties after unlocking.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace quillet {

class Handle {
 public:
  using Hook = void (*)(void* object);

  // Installs the process-wide retain and release functions. The first installation wins;
  // installing the same pair again is a no-op. Returns false when a different pair is already
  // installed. Until then retaining and releasing do nothing.
  static bool install_hooks(Hook retain, Hook release);

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // Releases the reference held before: never assign over a full Handle under a lock.
  Handle& operator=(Handle&& other) noexcept;
  ~Handle();

  // Takes over a reference the caller already owns (null gives an empty Handle).
  static Handle adopt(void* object) { return Handle(object); }
  // Takes a new reference to `object` (null gives an empty Handle).
  static Handle retain(void* object);

  void* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // A second reference to the same object (retaining runs none of the owner's code).
  Handle share() const { return retain(object_); }

  // Gives the reference up to the caller without releasing it; the Handle is empty after.
  [[nodiscard]] void* give_up() { return std::exchange(object_, nullptr); }

 private:
  explicit Handle(void* object) : object_(object) {}
  void* object_ = nullptr;
};

// The references a transition let go of. Adding never releases; the bin releases what it holds
// when it is drained or destroyed, which the caller arranges to happen after unlocking (declare
// the bin before the lock guard). The first few entries need no allocation.
class HandleBin {
 public:
  HandleBin() = default;
  HandleBin(const HandleBin&) = delete;
  HandleBin& operator=(const HandleBin&) = delete;
  ~HandleBin() { drain(); }

  void add(Handle handle) {
    if (!handle) return;
    if (count_ < inline_.size()) {
      inline_[count_++] = std::move(handle);
    } else {
      overflow_.push_back(std::move(handle));
    }
  }

  size_t size() const { return count_ + overflow_.size(); }

  // Releases everything now (call with no lock held).
  void drain() {
    for (size_t i = 0; i < count_; ++i) {
      Handle dropped = std::move(inline_[i]);
    }
    count_ = 0;
    std::vector<Handle> overflow = std::move(overflow_);
    overflow_.clear();
  }

 private:
  // One connection state holds at most eight objects, all of which a clear can let go of.
  std::array<Handle, 8> inline_;
  size_t count_ = 0;
  std::vector<Handle> overflow_;
};

}  // namespace quillet
