#include "wire/h1/client_state.h"

namespace quillet::h1 {

std::optional<WatcherPhase> ClientState::watcher_phase() const {
  if (!watcher_) return std::nullopt;
  return watcher_->phase;
}

Handle ClientState::watcher_done() const {
  return watcher_ ? watcher_->done.share() : Handle();
}

bool ClientState::try_begin_exchange() {
  if (busy_) return false;
  busy_ = true;
  exchange_active_ = false;
  writer_finished_ = false;
  return true;
}

bool ClientState::end_exchange() {
  if (!busy_) return false;
  busy_ = false;
  exchange_active_ = false;
  return true;
}

Handle ClientState::close_and_take_transport() {
  closed_ = true;
  if (upgraded_) return Handle();
  return std::move(transport_);
}

Handle ClientState::fail(Handle error, HandleBin& bin) {
  if (error && !error_) {
    error_ = std::move(error);
  } else {
    bin.add(std::move(error));
  }
  return close_and_take_transport();
}

Handle ClientState::close_now() {
  return close_and_take_transport();
}

ClientState::Closing ClientState::mark_closed() {
  Closing out{close_and_take_transport(), watcher_done(), std::move(writer_), !busy_};
  return out;
}

Handle ClientState::upgrade() {
  // Taken before the flag is set, so that the first upgrade still hands the transport over.
  Handle transport = close_and_take_transport();
  upgraded_ = true;
  return transport;
}

Handle ClientState::store_writer(Handle scope, HandleBin& bin) {
  if (closed_) return scope;
  bin.add(std::exchange(writer_, std::move(scope)));
  return Handle();
}

bool ClientState::arm_watcher(Handle done, HandleBin& bin) {
  if (closed_ || failed() || !transport_ || watcher_) {
    bin.add(std::move(done));
    return false;
  }
  exchange_active_ = false;
  watcher_.emplace();
  watcher_->done = std::move(done);
  return true;
}

Handle ClientState::store_watcher_handle(Handle handle) {
  if (closed_ || !watcher_ || watcher_->task_state != TaskHandle::kNotYet) return handle;
  watcher_->task = std::move(handle);
  watcher_->task_state = TaskHandle::kStored;
  return Handle();
}

ClientState::WatchOutcome ClientState::watcher_completed(Handle data, size_t data_size,
                                                         Handle error, HandleBin& bin) {
  if (!watcher_) {
    bin.add(std::move(data));
    bin.add(std::move(error));
    return {WatchVerdict::kIgnored, Handle()};
  }
  watcher_->phase = WatcherPhase::kCompleted;
  if (exchange_active_) {
    bin.add(std::exchange(watcher_->data, std::move(data)));
    bin.add(std::exchange(watcher_->error, std::move(error)));
    return {WatchVerdict::kHandoff, Handle()};
  }
  const bool has_error = static_cast<bool>(error);
  const bool has_bytes = data && data_size > 0;
  bin.add(std::move(data));
  bin.add(std::move(error));
  if (has_error) return {closed_ ? WatchVerdict::kIgnored : WatchVerdict::kIdleError, Handle()};
  if (has_bytes) return {WatchVerdict::kIdleBytes, Handle()};
  return {WatchVerdict::kIdleEof, close_and_take_transport()};
}

void ClientState::watcher_aborted() {
  if (watcher_) watcher_->phase = WatcherPhase::kCompleted;
}

Handle ClientState::take_watcher_handle() {
  if (!watcher_) return Handle();
  watcher_->task_state = TaskHandle::kTaken;
  return std::move(watcher_->task);
}

ClientState::WatcherResult ClientState::take_watcher_result(HandleBin& bin) {
  if (!watcher_) return {};
  WatcherResult out{std::move(watcher_->data), std::move(watcher_->error)};
  if (watcher_->task_state == TaskHandle::kTaken) free_watcher(bin);
  return out;
}

void ClientState::free_watcher(HandleBin& bin) {
  bin.add(std::move(watcher_->done));
  bin.add(std::move(watcher_->task));
  bin.add(std::move(watcher_->data));
  bin.add(std::move(watcher_->error));
  watcher_.reset();  // every Handle in it is empty now
}

std::array<void*, ClientState::kMaxHeld> ClientState::held() const {
  std::array<void*, kMaxHeld> out{transport_.get(), error_.get(), writer_.get()};
  if (watcher_) {
    out[3] = watcher_->done.get();
    out[4] = watcher_->task.get();
    out[5] = watcher_->data.get();
    out[6] = watcher_->error.get();
  }
  return out;
}

void ClientState::clear(HandleBin& bin) {
  bin.add(std::move(transport_));
  bin.add(std::move(error_));
  bin.add(std::move(writer_));
  if (watcher_) free_watcher(bin);
}

}  // namespace quillet::h1
