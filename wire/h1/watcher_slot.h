// The slot of a watcher: the read a connection state parks on an idle or mid-request
// connection to notice the peer closing or sending bytes, shared by the client and server
// states. It keeps the objects of the embedding layer that belong to that read and gives each
// back exactly once.
#pragma once

#include "wire/common/handle.h"

#include <cstdint>
#include <utility>

namespace quillet::h1 {

enum class WatcherPhase : uint8_t { kArmed, kCompleted };

class WatcherSlot {
 public:
  // Spelled out: clang 14 does not see a class with member initializers as default
  // constructible inside std::optional.
  explicit WatcherSlot(Handle done) noexcept : done_(std::move(done)) {}

  WatcherPhase phase() const { return phase_; }
  bool armed() const { return phase_ == WatcherPhase::kArmed; }
  const Handle& done() const { return done_; }
  const Handle& data() const { return data_; }

  // Stores the watcher task's handle, once: returns `task` back when one was stored or taken
  // before. An empty `task` is stored as such when `empty_counts`, else leaves the slot waiting.
  Handle store_task(Handle task, bool empty_counts) {
    if (task_state_ != Task::kNotYet) return task;
    if (!task && !empty_counts) return Handle();
    task_ = std::move(task);
    task_state_ = Task::kStored;
    return Handle();
  }
  // Takes the task handle out for joining; marks it taken even when nothing was stored, so a
  // handle that arrives later goes back to whoever spawned the task.
  Handle take_task() {
    task_state_ = Task::kTaken;
    return std::move(task_);
  }
  bool task_taken() const { return task_state_ == Task::kTaken; }

  // The read ended with `data` and `error`, replacing (and binning) an earlier outcome.
  void complete(Handle data, Handle error, HandleBin& bin) {
    bin.add(std::exchange(data_, std::move(data)));
    bin.add(std::exchange(error_, std::move(error)));
    phase_ = WatcherPhase::kCompleted;
  }
  void abort() { phase_ = WatcherPhase::kCompleted; }
  Handle take_data() { return std::move(data_); }
  Handle take_error() { return std::move(error_); }

  // The objects held, for the collector (null where absent).
  void* held(int i) const {
    const Handle* all[] = {&done_, &task_, &data_, &error_};
    return all[i]->get();
  }
  static constexpr int kHeld = 4;
  // Lets go of everything into `bin`.
  void release(HandleBin& bin) {
    bin.add(std::move(done_));
    bin.add(std::move(task_));
    bin.add(std::move(data_));
    bin.add(std::move(error_));
  }

 private:
  enum class Task : uint8_t { kNotYet, kStored, kTaken };

  Handle done_;
  Handle task_;
  Handle data_;
  Handle error_;
  WatcherPhase phase_ = WatcherPhase::kArmed;
  Task task_state_ = Task::kNotYet;
};

}  // namespace quillet::h1
