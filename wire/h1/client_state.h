// The state of one HTTP/1 client connection: which exchange holds it, whether it is closed,
// failed or upgraded, the body writer in flight, and the idle watcher's slot. It performs no
// input or output; the client driver asks it for a verdict at every transition.
//
// Two phases, each changed only by the named transitions below:
// - the connection: open, closed, or upgraded (closed, with the transport gone to the caller
//   for keeps). Closed is final.
// - the exchange: idle, claimed, or sending (the request is going out, so a watcher read that
//   completes is the response's first read). A request may also go out on a connection no
//   exchange claimed; the claim then stays free while the read still belongs to the request.
// Whether the connection may serve another request after a response is the codec's verdict
// (Codec::response_is_last), made where the request and response heads meet.
//
// Every method is one transition. The Python class runs each under the object's lock, so
// nothing here may release a Handle: whatever a transition lets go of goes into the caller's
// HandleBin, and whatever it hands out is returned as a Handle the caller now owns.
#pragma once

#include "wire/common/handle.h"
#include "wire/h1/watcher_slot.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillet::h1 {

// What a completed watcher read was. The values are the module's H1_WATCH_* constants.
enum class WatchVerdict : uint8_t {
  kHandoff = 0,    // the read belongs to the exchange that has started
  kIdleEof = 1,    // the server closed the idle connection
  kIdleBytes = 2,  // the server sent bytes on the idle connection
  kIdleError = 3,  // the idle read failed
  kIgnored = 4,    // the connection was already closed or the slot is gone
};

class ClientState {
 public:
  explicit ClientState(Handle transport) : transport_(std::move(transport)) {}

  bool closed() const { return conn_ != Conn::kOpen; }
  bool upgraded() const { return conn_ == Conn::kUpgraded; }
  bool busy() const { return exchange_ == Exchange::kClaimed || exchange_ == Exchange::kSending; }
  // A watcher read that completes now belongs to the exchange.
  bool exchange_active() const {
    return exchange_ == Exchange::kSending || exchange_ == Exchange::kSendingUnclaimed;
  }
  bool peer_http10() const { return peer_http10_; }
  bool writer_finished() const { return writer_finished_; }
  bool failed() const { return static_cast<bool>(error_); }
  bool has_watcher() const { return watcher_.has_value(); }
  std::optional<WatcherPhase> watcher_phase() const;
  bool is_dead() const { return closed() || failed(); }

  // Second references to held objects (empty when absent); nothing is taken out.
  Handle transport_ref() const { return transport_.share(); }
  Handle error_ref() const { return error_.share(); }
  Handle watcher_done() const;

  void set_peer_http10(bool value) { peer_http10_ = value; }

  // Claims the connection for one exchange; false when an exchange already holds it.
  bool try_begin_exchange();
  // Releases the claim; false when no exchange held it.
  bool end_exchange();
  // The request is about to be written: a watcher read that completes now is the response's.
  void exchange_started();
  void writer_done() { writer_finished_ = true; }

  // Closes with `error` stored unless one already is (the first error wins; a refused one goes
  // to `bin`). Returns the transport unless the connection was upgraded.
  Handle fail(Handle error, HandleBin& bin);
  Handle close_now();

  struct Closing {
    Handle transport;
    Handle watcher_done;  // a second reference: the slot keeps its own
    Handle writer;
    bool idle;  // no exchange held the connection
  };
  Closing mark_closed();

  // Closes and hands the transport to the caller for keeps; later closes return nothing.
  Handle upgrade();

  // Stores the body writer, replacing (and binning) an earlier one. Returns `scope` itself when
  // refused because the connection is closed; empty when stored.
  Handle store_writer(Handle scope, HandleBin& bin);
  Handle take_writer() { return std::move(writer_); }

  // Opens a watcher slot with `done` as its done event. Refused (false, `done` binned) when the
  // connection is closed or failed, has no transport, or a slot still exists.
  bool arm_watcher(Handle done, HandleBin& bin);
  // Stores the watcher's task handle; returns it back when refused (closed, no slot, or the
  // slot's handle was already stored or taken).
  Handle store_watcher_handle(Handle handle);

  struct WatchOutcome {
    WatchVerdict verdict;
    Handle transport;  // only for kIdleEof, unless upgraded
  };
  // The watcher read ended with `data` (empty Handle: none; `data_size` its length) and
  // `error` (empty Handle: none). Whatever is not kept goes to `bin`.
  WatchOutcome watcher_completed(Handle data, size_t data_size, Handle error, HandleBin& bin);
  void watcher_aborted();
  Handle take_watcher_handle();

  struct WatcherResult {
    Handle data;
    Handle error;
  };
  // Takes the hand-off data and error; frees the slot (binning its done event) once the task
  // handle has been taken too.
  WatcherResult take_watcher_result(HandleBin& bin);

  // Every object held, for the collector's traversal (null where absent).
  static constexpr size_t kMaxHeld = 7;
  std::array<void*, kMaxHeld> held() const;
  // Lets go of every object held (the collector breaking a cycle).
  void clear(HandleBin& bin);

 private:
  // The connection's life. Upgraded is closed, with the transport gone to the caller.
  enum class Conn : uint8_t { kOpen, kClosed, kUpgraded };
  // Who holds the connection, and whom a watcher read that completes belongs to.
  enum class Exchange : uint8_t {
    kIdle,              // free: a completing watcher read is news about the idle connection
    kClaimed,           // held by an exchange whose request has not gone out yet
    kSending,           // held, and its request is going out: the read is the response's
    kSendingUnclaimed,  // a request went out with the claim left free: the read is still its
  };

  // A newly parked watcher read is news about the idle connection until a request starts: the
  // exchange, if any, keeps its claim but no longer owns the read.
  void give_read_to_the_idle_connection();
  // Closes and takes the transport out, unless it belongs to an upgrade's caller.
  Handle close_and_take_transport();
  void free_watcher(HandleBin& bin);

  Handle transport_;
  Handle error_;
  Handle writer_;
  Conn conn_ = Conn::kOpen;
  Exchange exchange_ = Exchange::kIdle;
  bool peer_http10_ = false;
  bool writer_finished_ = false;  // writer_done() since the last claim
  std::optional<WatcherSlot> watcher_;
};

}  // namespace quillet::h1
