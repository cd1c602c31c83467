// Per-object locking and the release bin.
//
// A method takes its object's lock once, decides and transitions in C++ values, unlocks, and
// only then makes or drops Python objects. Nothing that can run Python code happens under the
// lock: allocating may start the cyclic collector and dropping a reference may run a finaliser,
// and either can re-enter this object or let another thread take the interpreter lock and then
// block on our mutex while we wait for the interpreter lock: a deadlock.
//
// The usage pattern puts the bin before the guard, so that leaving the scope unlocks first and
// drops the binned references after:
//
//   ReleaseBin bin;
//   {
//     Guard guard(self.lock);
//     bin.add(std::move(self.transport));   // taken out under the lock
//   }                                        // unlocked here
//   // the bin drops the old transport when it goes out of scope
#pragma once

#include "src/py/ref.h"

#include <array>
#include <mutex>
#include <utility>
#include <vector>

namespace quillet::py {

using ObjectLock = std::mutex;

class Guard {
 public:
  explicit Guard(ObjectLock& lock) : lock_(lock) { lock_.lock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() {
    if (held_) lock_.unlock();
  }
  // Unlocks before the end of the scope.
  void unlock() {
    if (held_) {
      lock_.unlock();
      held_ = false;
    }
  }

 private:
  ObjectLock& lock_;
  bool held_ = true;
};

// Takes two objects' locks in address order, so that two threads locking the same pair in
// opposite roles cannot deadlock. The same lock twice is taken once.
class PairGuard {
 public:
  PairGuard(ObjectLock& a, ObjectLock& b) : first_(&a < &b ? a : b), second_(&a < &b ? b : a) {
    first_.lock();
    if (&second_ != &first_) second_.lock();
  }
  PairGuard(const PairGuard&) = delete;
  PairGuard& operator=(const PairGuard&) = delete;
  ~PairGuard() {
    if (&second_ != &first_) second_.unlock();
    first_.unlock();
  }

 private:
  ObjectLock& first_;
  ObjectLock& second_;
};

// Collects references taken out of an object under its lock and drops them when the bin goes
// out of scope, after the lock was released. Adding never allocates for the first few entries;
// past them it may allocate C++ memory, which runs no Python code.
class ReleaseBin {
 public:
  ReleaseBin() = default;
  ReleaseBin(const ReleaseBin&) = delete;
  ReleaseBin& operator=(const ReleaseBin&) = delete;
  ~ReleaseBin() { drain(); }

  void add(Ref ref) {
    if (!ref) return;
    if (inline_count_ < inline_.size()) {
      inline_[inline_count_++] = std::move(ref);
    } else {
      overflow_.push_back(std::move(ref));
    }
  }

  // Drops everything now (call only with no lock held).
  void drain() {
    for (size_t i = 0; i < inline_count_; ++i)
      inline_[i] = Ref();
    inline_count_ = 0;
    overflow_.clear();
  }

 private:
  std::array<Ref, 4> inline_;
  size_t inline_count_ = 0;
  std::vector<Ref> overflow_;
};

}  // namespace quillet::py
