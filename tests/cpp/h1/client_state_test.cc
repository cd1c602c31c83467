#include "wire/h1/client_state.h"

#include "tests/support/server_cores.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::h1 {
namespace {

using test_support::g_releases;
using test_support::Obj;
using test_support::release_obj;
using test_support::retain_obj;

class ClientStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Handle::install_hooks(retain_obj, release_obj));
    g_releases = 0;
  }

  // A new reference to `obj`, as the boundary makes one for an argument.
  static Handle ref(Obj& obj) { return Handle::retain(&obj); }

  Obj transport{"transport"};
  Obj exc1{"exc1"};
  Obj exc2{"exc2"};
  Obj event{"event"};
  Obj task{"task"};
  Obj writer{"writer"};
  Obj bytes{"bytes"};
};

TEST_F(ClientStateTest, HooksInstallOnceAndHandlesCountReferences) {
  EXPECT_TRUE(Handle::install_hooks(retain_obj, release_obj));
  EXPECT_FALSE(Handle::install_hooks(release_obj, retain_obj));
  Obj o{"o"};
  {
    Handle a = Handle::retain(&o);
    Handle b = a.share();
    EXPECT_EQ(o.refs, 3);
    Handle c = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(c.get(), &o);
    b = std::move(c);  // assigning over a full handle releases the old reference
    EXPECT_EQ(o.refs, 2);
    void* raw = b.give_up();
    EXPECT_EQ(raw, &o);
    EXPECT_EQ(o.refs, 2);  // given up, not released
    Handle back = Handle::adopt(raw);
  }
  EXPECT_EQ(o.refs, 1);
  EXPECT_FALSE(Handle::retain(nullptr));
}

TEST_F(ClientStateTest, BinReleasesOnlyWhenDrained) {
  Obj o{"o"};
  HandleBin bin;
  for (int i = 0; i < 12; ++i)  // past the inline entries
    bin.add(Handle::retain(&o));
  bin.add(Handle());
  EXPECT_EQ(bin.size(), 12u);
  EXPECT_EQ(o.refs, 13);
  EXPECT_EQ(g_releases, 0);
  bin.drain();
  EXPECT_EQ(o.refs, 1);
  EXPECT_EQ(bin.size(), 0u);
}

TEST_F(ClientStateTest, ExchangeClaimAndRelease) {
  ClientState s(ref(transport));
  EXPECT_TRUE(s.try_begin_exchange());
  s.exchange_started();
  s.writer_done();
  EXPECT_FALSE(s.try_begin_exchange());
  EXPECT_TRUE(s.exchange_active());
  EXPECT_TRUE(s.end_exchange());
  EXPECT_FALSE(s.exchange_active());
  EXPECT_FALSE(s.end_exchange());
  EXPECT_TRUE(s.writer_finished());  // kept until the next claim resets it
  EXPECT_TRUE(s.try_begin_exchange());
  EXPECT_FALSE(s.writer_finished());
  EXPECT_FALSE(s.exchange_active());
}

TEST_F(ClientStateTest, FirstErrorWinsAndTransportIsHandedOutOnce) {
  ClientState s(ref(transport));
  HandleBin bin;
  Handle t = s.fail(ref(exc1), bin);
  EXPECT_EQ(t.get(), &transport);
  EXPECT_EQ(s.fail(ref(exc2), bin).get(), nullptr);
  EXPECT_EQ(s.error_ref().get(), &exc1);
  EXPECT_EQ(bin.size(), 1u);  // exc2, refused, waits for the caller
  EXPECT_EQ(exc2.refs, 2);
  EXPECT_FALSE(s.close_now());
  EXPECT_FALSE(s.mark_closed().transport);
  EXPECT_FALSE(s.upgrade());
  EXPECT_TRUE(s.closed() && s.is_dead());

  ClientState quiet(ref(transport));
  EXPECT_EQ(quiet.close_now().get(), &transport);
  EXPECT_FALSE(quiet.close_now());
  EXPECT_FALSE(quiet.transport_ref());
  EXPECT_TRUE(quiet.is_dead() && !quiet.failed());
}

TEST_F(ClientStateTest, FailWithoutErrorClosesButStoresNothing) {
  ClientState s(ref(transport));
  HandleBin bin;
  EXPECT_TRUE(s.fail(Handle(), bin));
  EXPECT_FALSE(s.failed());
  EXPECT_TRUE(s.is_dead());
  EXPECT_FALSE(s.fail(ref(exc1), bin));
  EXPECT_EQ(s.error_ref().get(), &exc1);  // a later error is still the first one stored
}

TEST_F(ClientStateTest, UpgradeKeepsTheTransportFromEveryLaterClose) {
  ClientState s(ref(transport));
  HandleBin bin;
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  EXPECT_EQ(s.upgrade().get(), &transport);
  EXPECT_TRUE(s.upgraded() && s.closed());
  EXPECT_FALSE(s.fail(ref(exc1), bin));
  EXPECT_FALSE(s.close_now());
  EXPECT_FALSE(s.mark_closed().transport);
  EXPECT_FALSE(s.watcher_completed(Handle(), 0, Handle(), bin).transport);
  EXPECT_FALSE(s.upgrade());
}

TEST_F(ClientStateTest, UpgradeAfterCloseHasNothingToHandOver) {
  ClientState s(ref(transport));
  EXPECT_TRUE(s.close_now());
  EXPECT_FALSE(s.upgrade());
  EXPECT_TRUE(s.upgraded());
}

TEST_F(ClientStateTest, MarkClosedReportsIdleWriterAndKeepsTheSlot) {
  ClientState s(ref(transport));
  HandleBin bin;
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  ASSERT_FALSE(s.store_writer(ref(writer), bin));
  ClientState::Closing c = s.mark_closed();
  EXPECT_EQ(c.transport.get(), &transport);
  EXPECT_EQ(c.watcher_done.get(), &event);
  EXPECT_EQ(c.writer.get(), &writer);
  EXPECT_TRUE(c.idle);
  EXPECT_TRUE(s.has_watcher());
  EXPECT_EQ(s.watcher_done().get(), &event);  // the slot keeps its own reference

  ClientState busy(ref(transport));
  ASSERT_TRUE(busy.try_begin_exchange());
  busy.exchange_started();
  ASSERT_FALSE(busy.store_writer(ref(writer), bin));
  ClientState::Closing b = busy.mark_closed();
  EXPECT_FALSE(b.idle);
  EXPECT_FALSE(b.watcher_done);
  EXPECT_EQ(b.writer.get(), &writer);  // the close tears the body writer down
  EXPECT_FALSE(busy.take_writer());
  Handle late = busy.store_writer(ref(writer), bin);
  EXPECT_EQ(late.get(), &writer);
}

TEST_F(ClientStateTest, WriterStoreRefusedOnceClosed) {
  ClientState s(ref(transport));
  HandleBin bin;
  Obj first{"first"};
  EXPECT_FALSE(s.store_writer(ref(first), bin));
  EXPECT_FALSE(s.store_writer(ref(writer), bin));
  EXPECT_EQ(bin.size(), 1u);  // the replaced writer
  EXPECT_EQ(s.take_writer().get(), &writer);
  EXPECT_FALSE(s.take_writer());
  s.close_now();
  Handle refused = s.store_writer(ref(writer), bin);
  EXPECT_EQ(refused.get(), &writer);
  EXPECT_FALSE(s.take_writer());
}

TEST_F(ClientStateTest, ArmWatcherRefusals) {
  HandleBin bin;
  {
    ClientState s(ref(transport));
    EXPECT_TRUE(s.arm_watcher(ref(event), bin));
    EXPECT_FALSE(s.arm_watcher(ref(event), bin));  // a slot exists
    s.watcher_aborted();
    EXPECT_FALSE(s.arm_watcher(ref(event), bin));  // completed, but not freed
    s.take_watcher_handle();
    s.take_watcher_result(bin);
    EXPECT_TRUE(s.arm_watcher(ref(event), bin));
  }
  {
    ClientState s{Handle()};  // no transport
    EXPECT_FALSE(s.arm_watcher(ref(event), bin));
  }
  {
    ClientState s(ref(transport));
    s.close_now();
    EXPECT_FALSE(s.arm_watcher(ref(event), bin));
  }
  {
    ClientState s(ref(transport));
    s.upgrade();
    EXPECT_FALSE(s.arm_watcher(ref(event), bin));
  }
  EXPECT_EQ(bin.size(), 6u);  // the refused events, and the first slot's
}

TEST_F(ClientStateTest, ArmingEndsTheExchangeWindow) {
  ClientState s(ref(transport));
  HandleBin bin;
  s.exchange_started();
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  EXPECT_FALSE(s.exchange_active());
  EXPECT_EQ(s.watcher_completed(Handle(), 0, Handle(), bin).verdict, WatchVerdict::kIdleEof);

  // A claimed exchange keeps its claim.
  ClientState claimed(ref(transport));
  ASSERT_TRUE(claimed.try_begin_exchange());
  claimed.exchange_started();
  ASSERT_TRUE(claimed.arm_watcher(ref(event), bin));
  EXPECT_FALSE(claimed.exchange_active());
  EXPECT_TRUE(claimed.busy());
  EXPECT_EQ(claimed.watcher_completed(ref(bytes), 1, Handle(), bin).verdict,
            WatchVerdict::kIdleBytes);
}

// A request may go out with the claim left free: its read is still the response's, and only a
// claim (a new exchange) or a new watcher ends that.
TEST_F(ClientStateTest, RequestStartedWithoutAClaim) {
  ClientState s(ref(transport));
  HandleBin bin;
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  s.exchange_started();
  s.writer_done();
  EXPECT_TRUE(s.exchange_active());
  EXPECT_FALSE(s.busy());
  EXPECT_FALSE(s.end_exchange());  // nothing to release, and the read stays the request's
  EXPECT_EQ(s.watcher_completed(ref(bytes), 3, Handle(), bin).verdict, WatchVerdict::kHandoff);
  EXPECT_TRUE(s.try_begin_exchange());
  EXPECT_FALSE(s.exchange_active());
  EXPECT_FALSE(s.writer_finished());
  s.exchange_started();
  s.exchange_started();
  EXPECT_TRUE(s.busy() && s.exchange_active());
  EXPECT_TRUE(s.end_exchange());
  EXPECT_FALSE(s.busy() || s.exchange_active());
  s.writer_done();  // the body writer's report stands until the next claim
  EXPECT_TRUE(s.writer_finished());
}

TEST_F(ClientStateTest, HandoffStoresTheReadForTheExchange) {
  ClientState s(ref(transport));
  HandleBin bin;
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  ASSERT_FALSE(s.store_watcher_handle(ref(task)));
  ASSERT_TRUE(s.try_begin_exchange());
  s.exchange_started();
  Obj older{"older"};
  EXPECT_EQ(s.watcher_completed(ref(older), 5, Handle(), bin).verdict, WatchVerdict::kHandoff);
  ClientState::WatchOutcome o = s.watcher_completed(ref(bytes), 5, ref(exc1), bin);
  EXPECT_EQ(o.verdict, WatchVerdict::kHandoff);
  EXPECT_FALSE(o.transport);
  EXPECT_EQ(bin.size(), 1u);  // the replaced data
  EXPECT_EQ(s.watcher_phase(), WatcherPhase::kCompleted);

  ClientState::WatcherResult r = s.take_watcher_result(bin);
  EXPECT_EQ(r.data.get(), &bytes);
  EXPECT_EQ(r.error.get(), &exc1);
  EXPECT_TRUE(s.has_watcher());  // the handle was not taken: close() may still join it
  ClientState::WatcherResult again = s.take_watcher_result(bin);
  EXPECT_FALSE(again.data || again.error);

  EXPECT_EQ(s.take_watcher_handle().get(), &task);
  EXPECT_FALSE(s.take_watcher_handle());
  EXPECT_TRUE(s.has_watcher());
  s.take_watcher_result(bin);
  EXPECT_FALSE(s.has_watcher());
  EXPECT_FALSE(s.watcher_done());
  EXPECT_FALSE(s.closed());
}

TEST_F(ClientStateTest, IdleVerdicts) {
  HandleBin bin;
  {
    ClientState s(ref(transport));
    ASSERT_TRUE(s.arm_watcher(ref(event), bin));
    ClientState::WatchOutcome o = s.watcher_completed(ref(bytes), 0, Handle(), bin);
    EXPECT_EQ(o.verdict, WatchVerdict::kIdleEof);
    EXPECT_EQ(o.transport.get(), &transport);
    EXPECT_TRUE(s.closed());
  }
  {
    ClientState s(ref(transport));
    ASSERT_TRUE(s.arm_watcher(ref(event), bin));
    ClientState::WatchOutcome o = s.watcher_completed(ref(bytes), 1, Handle(), bin);
    EXPECT_EQ(o.verdict, WatchVerdict::kIdleBytes);
    EXPECT_FALSE(o.transport);
    EXPECT_FALSE(s.closed());
    EXPECT_FALSE(s.take_watcher_result(bin).data);  // idle reads are not kept
  }
  // An error wins over whatever data came with it; the caller fails the connection.
  for (const bool with_data : {false, true}) {
    for (const size_t size : {size_t(0), size_t(3)}) {
      ClientState s(ref(transport));
      ASSERT_TRUE(s.arm_watcher(ref(event), bin));
      EXPECT_EQ(
          s.watcher_completed(with_data ? ref(bytes) : Handle(), size, ref(exc1), bin).verdict,
          WatchVerdict::kIdleError);
      EXPECT_FALSE(s.closed());
    }
  }
  {
    ClientState s(ref(transport));
    ASSERT_TRUE(s.arm_watcher(ref(event), bin));
    s.mark_closed();
    EXPECT_EQ(s.watcher_completed(Handle(), 0, ref(exc1), bin).verdict, WatchVerdict::kIgnored);
    // end of input after a close still says so, with nothing left to close
    ClientState::WatchOutcome o = s.watcher_completed(Handle(), 0, Handle(), bin);
    EXPECT_EQ(o.verdict, WatchVerdict::kIdleEof);
    EXPECT_FALSE(o.transport);
  }
}

TEST_F(ClientStateTest, CompletionWithoutSlotIsIgnored) {
  ClientState s(ref(transport));
  HandleBin bin;
  EXPECT_EQ(s.watcher_completed(Handle(), 0, Handle(), bin).verdict, WatchVerdict::kIgnored);
  EXPECT_FALSE(s.closed());
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  s.watcher_aborted();
  EXPECT_EQ(s.watcher_phase(), WatcherPhase::kCompleted);
  EXPECT_FALSE(s.take_watcher_handle());  // nothing stored, but the join is accounted for
  s.take_watcher_result(bin);
  EXPECT_FALSE(s.has_watcher());
  const size_t before = bin.size();
  EXPECT_EQ(s.watcher_completed(ref(bytes), 0, ref(exc1), bin).verdict, WatchVerdict::kIgnored);
  EXPECT_EQ(bin.size(), before + 2);
  EXPECT_FALSE(s.closed());
}

TEST_F(ClientStateTest, WatcherHandleStoredOnceAndNeverAfterTaken) {
  ClientState s(ref(transport));
  HandleBin bin;
  EXPECT_EQ(s.store_watcher_handle(ref(task)).get(), &task);  // no slot
  ASSERT_TRUE(s.arm_watcher(ref(event), bin));
  Obj other{"other"};
  EXPECT_FALSE(s.store_watcher_handle(ref(task)));
  EXPECT_EQ(s.store_watcher_handle(ref(other)).get(), &other);
  EXPECT_EQ(s.take_watcher_handle().get(), &task);
  // a handle arriving after the taker went on would never be joined by it
  EXPECT_EQ(s.store_watcher_handle(ref(other)).get(), &other);

  ClientState t(ref(transport));
  ASSERT_TRUE(t.arm_watcher(ref(event), bin));
  EXPECT_FALSE(t.take_watcher_handle());
  EXPECT_EQ(t.store_watcher_handle(ref(task)).get(), &task);

  ClientState u(ref(transport));
  ASSERT_TRUE(u.arm_watcher(ref(event), bin));
  u.mark_closed();
  EXPECT_EQ(u.store_watcher_handle(ref(task)).get(), &task);
}

// No transition releases a reference itself: everything it lets go of waits in the bin.
TEST_F(ClientStateTest, TransitionsNeverReleaseAndEveryReferenceIsAccountedFor) {
  {
    HandleBin bin;
    HandleBin returned;  // what the transitions hand out, kept alive like the caller would
    ClientState s(ref(transport));
    s.arm_watcher(ref(event), bin);
    returned.add(s.store_watcher_handle(ref(task)));
    returned.add(s.store_writer(ref(writer), bin));
    returned.add(s.store_writer(ref(writer), bin));
    s.try_begin_exchange();
    s.exchange_started();
    returned.add(s.watcher_completed(ref(bytes), 4, ref(exc1), bin).transport);
    returned.add(s.watcher_completed(ref(bytes), 4, ref(exc2), bin).transport);
    returned.add(s.fail(ref(exc1), bin));
    returned.add(s.fail(ref(exc2), bin));
    returned.add(s.store_writer(ref(writer), bin));
    s.arm_watcher(ref(event), bin);
    returned.add(s.take_watcher_handle());
    ClientState::WatcherResult r = s.take_watcher_result(bin);
    returned.add(std::move(r.data));
    returned.add(std::move(r.error));
    s.arm_watcher(ref(event), bin);
    HandleBin cleared;
    s.clear(cleared);
    EXPECT_EQ(g_releases, 0);
  }
  for (Obj* o : {&transport, &exc1, &exc2, &event, &task, &writer, &bytes})
    EXPECT_EQ(o->refs, 1) << o->name;
}

TEST_F(ClientStateTest, HeldAndClearCoverEveryObject) {
  ClientState s(ref(transport));
  HandleBin bin;
  s.arm_watcher(ref(event), bin);
  s.store_watcher_handle(ref(task));
  s.store_writer(ref(writer), bin);
  s.exchange_started();
  s.watcher_completed(ref(bytes), 2, ref(exc2), bin);
  s.fail(ref(exc1), bin);  // closes and hands the transport out
  Handle transport_back = s.close_now();
  EXPECT_FALSE(transport_back);

  ClientState full(ref(transport));
  full.arm_watcher(ref(event), bin);
  full.store_watcher_handle(ref(task));
  full.store_writer(ref(writer), bin);
  full.exchange_started();
  full.watcher_completed(ref(bytes), 2, ref(exc2), bin);
  // a stored error and the transport are never held together (fail takes the transport), so
  // the error's place is checked on `s`
  std::array<void*, ClientState::kMaxHeld> held = full.held();
  EXPECT_EQ(held[0], &transport);
  EXPECT_EQ(held[1], nullptr);
  EXPECT_EQ(held[2], &writer);
  EXPECT_EQ(held[3], &event);
  EXPECT_EQ(held[4], &task);
  EXPECT_EQ(held[5], &bytes);
  EXPECT_EQ(held[6], &exc2);
  EXPECT_EQ(s.held()[1], &exc1);

  HandleBin cleared;
  full.clear(cleared);
  EXPECT_EQ(cleared.size(), 6u);
  for (void* p : full.held())
    EXPECT_EQ(p, nullptr);
  EXPECT_FALSE(full.has_watcher());
}

}  // namespace
}  // namespace quillet::h1
