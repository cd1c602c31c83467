#include "wire/h1/client_state.h"

namespace quillet::h1 {

std::optional<WatcherPhase> ClientState::watcher_phase() const {
  if (!watcher_) return std::nullopt;
  return watcher_->phase();
}

Handle ClientState::watcher_done() const {
  return watcher_ ? watcher_->done().share() : Handle();
}

bool ClientState::try_begin_exchange() {
  if (busy()) return false;
  exchange_ = Exchange::kClaimed;  // an unclaimed request's read is no longer awaited
  writer_finished_ = false;
  return true;
}

bool ClientState::end_exchange() {
  if (!busy()) return false;
  exchange_ = Exchange::kIdle;
  return true;
}

void ClientState::exchange_started() {
  if (exchange_ == Exchange::kClaimed) {
    exchange_ = Exchange::kSending;
  } else if (exchange_ == Exchange::kIdle) {
    exchange_ = Exchange::kSendingUnclaimed;
  }
}

void ClientState::give_read_to_the_idle_connection() {
  if (exchange_ == Exchange::kSending) exchange_ = Exchange::kClaimed;
  if (exchange_ == Exchange::kSendingUnclaimed) exchange_ = Exchange::kIdle;
}

Handle ClientState::close_and_take_transport() {
  if (upgraded()) return Handle();
  conn_ = Conn::kClosed;
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
  Closing out{close_and_take_transport(), watcher_done(), std::move(writer_), !busy()};
  return out;
}

Handle ClientState::upgrade() {
  // Taken before the phase changes, so that the first upgrade still hands the transport over.
  Handle transport = close_and_take_transport();
  conn_ = Conn::kUpgraded;
  return transport;
}

Handle ClientState::store_writer(Handle scope, HandleBin& bin) {
  if (closed()) return scope;
  bin.add(std::exchange(writer_, std::move(scope)));
  return Handle();
}

bool ClientState::arm_watcher(Handle done, HandleBin& bin) {
  if (closed() || failed() || !transport_ || watcher_) {
    bin.add(std::move(done));
    return false;
  }
  give_read_to_the_idle_connection();
  watcher_.emplace(std::move(done));
  return true;
}

Handle ClientState::store_watcher_handle(Handle handle) {
  if (closed() || !watcher_) return handle;
  return watcher_->store_task(std::move(handle), true);
}

ClientState::WatchOutcome ClientState::watcher_completed(Handle data, size_t data_size,
                                                         Handle error, HandleBin& bin) {
  if (!watcher_) {
    bin.add(std::move(data));
    bin.add(std::move(error));
    return {WatchVerdict::kIgnored, Handle()};
  }
  if (exchange_active()) {
    watcher_->complete(std::move(data), std::move(error), bin);
    return {WatchVerdict::kHandoff, Handle()};
  }
  watcher_->abort();  // completed; an idle read's outcome is decided now, not kept
  const bool has_error = static_cast<bool>(error);
  const bool has_bytes = data && data_size > 0;
  bin.add(std::move(data));
  bin.add(std::move(error));
  if (has_error) return {closed() ? WatchVerdict::kIgnored : WatchVerdict::kIdleError, Handle()};
  if (has_bytes) return {WatchVerdict::kIdleBytes, Handle()};
  return {WatchVerdict::kIdleEof, close_and_take_transport()};
}

void ClientState::watcher_aborted() {
  if (watcher_) watcher_->abort();
}

Handle ClientState::take_watcher_handle() {
  return watcher_ ? watcher_->take_task() : Handle();
}

ClientState::WatcherResult ClientState::take_watcher_result(HandleBin& bin) {
  if (!watcher_) return {};
  WatcherResult out{watcher_->take_data(), watcher_->take_error()};
  if (watcher_->task_taken()) free_watcher(bin);
  return out;
}

void ClientState::free_watcher(HandleBin& bin) {
  watcher_->release(bin);
  watcher_.reset();  // every Handle in it is empty now
}

std::array<void*, ClientState::kMaxHeld> ClientState::held() const {
  std::array<void*, kMaxHeld> out{transport_.get(), error_.get(), writer_.get()};
  if (watcher_) {
    for (int i = 0; i < WatcherSlot::kHeld; ++i)
      out[size_t(3 + i)] = watcher_->held(i);
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
