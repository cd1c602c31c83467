#include "wire/h1/server_state.h"

#include "tests/support/server_cores.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>

namespace quillet::h1 {
namespace {

using test_support::Obj;
using test_support::PlainCores;
using test_support::ref;

// One server connection driven as the boundary drives it: each call is one transition, its bin
// drained after it. Every object lives in `objects`; at the end of each test every reference the
// state took has been released again, so each object's count is back to its owner's one.
class ServerStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test_support::install_counting_hooks()); }
  void TearDown() override {
    state.reset();
    bin.drain();
    for (const Obj& o : objects)
      EXPECT_EQ(o.refs, 1);
  }

  void make(bool keep_alive = true, bool half_close = false, bool with_transport = true) {
    state = std::make_unique<ServerState>(with_transport ? ref(transport) : Handle(), keep_alive,
                                          half_close);
  }

  Obj& obj() { return objects.emplace_back(); }

  // accept_head with a fresh decoder object; the request's seq, or 0 while incomplete.
  uint64_t accept(std::string_view data, RequestHead* head = nullptr, Obj** decoder = nullptr) {
    Obj& d = obj();
    RequestHead local;
    ParseKind error = ParseKind::kInternal;
    uint64_t seq = 0;
    const HeadResult r =
        state->accept_head(cores, data, ref(d), head ? head : &local, &error, &seq, bin);
    bin.drain();
    EXPECT_NE(r, HeadResult::kError) << int(error);
    if (decoder) *decoder = &d;
    return r == HeadResult::kHead ? seq : 0;
  }

  ServerState::Next begin_read() {
    ServerState::Next n = state->begin_read(cores, bin);
    bin.drain();
    return n;
  }

  ServerState::Responded respond(uint64_t seq, uint16_t status, Obj& done, BodySpec body = {},
                                 bool want = false, std::string* out = nullptr) {
    ServerState::ResponseHead r;
    r.status = *StatusCode::from(status);
    r.body = body;
    r.want = want;
    std::string local;
    ServerState::Responded result =
        state->respond_head(cores, seq, r, ref(done), out ? out : &local, bin);
    bin.drain();
    return result;
  }

  bool arm(uint64_t seq, Obj& done, bool want = true, bool negotiated = false) {
    const bool armed = state->arm_watcher(cores, seq, ref(done), want, negotiated, bin);
    bin.drain();
    return armed;
  }

  Obj transport;
  std::deque<Obj> objects;  // stable addresses
  Codec codec{CodecConfig{.date_header = false}};
  PlainCores cores{codec};
  HandleBin bin;
  std::unique_ptr<ServerState> state;
};

TEST_F(ServerStateTest, KeepAliveLoopWithPipelinedRequests) {
  make();
  ServerState::Next n = begin_read();
  EXPECT_EQ(n.step, NextStep::kTransport);
  EXPECT_EQ(n.object.get(), &transport);
  n = {};
  EXPECT_TRUE(state->unpark_idle_read() == false);
  std::string data =
      "GET /1 HTTP/1.1\r\nHost: x\r\n\r\nGET /2 HTTP/1.1\r\nHost: x\r\n\r\nGET /3 "
      "HTTP/1.1\r\nHost: x\r\n\r\n";
  for (uint64_t expected = 1; expected <= 3; ++expected) {
    RequestHead head;
    const uint64_t seq = accept(data, &head);
    data.clear();
    ASSERT_EQ(seq, expected);
    EXPECT_EQ(head.target, "/" + std::to_string(expected));
    Obj& done = obj();
    std::string out;
    const ServerState::Responded r = respond(seq, 200, done, BodySpec{false, 2}, false, &out);
    EXPECT_EQ(r.verdict, RequestVerdict::kOk);
    EXPECT_EQ(out, "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n");
    EXPECT_EQ(state->begin_read(cores, bin).step, NextStep::kRaise);  // unanswered
    const ServerState::Finished f = state->finish_response(cores, seq);
    EXPECT_FALSE(f.switched || f.close || f.transport);
    n = begin_read();
    EXPECT_EQ(n.step, expected < 3 ? NextStep::kParse : NextStep::kTransport);
  }
  EXPECT_TRUE(state->reusable());
}

TEST_F(ServerStateTest, StaleAndRepeatedAnswers) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  EXPECT_EQ(respond(0, 200, done).verdict, RequestVerdict::kStale);
  EXPECT_EQ(respond(seq + 1, 200, done).verdict, RequestVerdict::kStale);
  EXPECT_EQ(respond(seq, 204, done).verdict, RequestVerdict::kOk);
  EXPECT_EQ(respond(seq, 200, done).verdict, RequestVerdict::kAlready);
  EXPECT_FALSE(state->try_send_continue(seq));
  EXPECT_FALSE(state->close_window(seq + 1));
  EXPECT_EQ(state->peer_closed_now(seq + 1), false);
  EXPECT_FALSE(state->peer_closed_flag(0));
  EXPECT_EQ(state->detach(cores, 0, bin).verdict, RequestVerdict::kStale);
  EXPECT_FALSE(arm(seq + 1, done));
  EXPECT_FALSE(state->begin_body_read(seq + 1));
  const ServerState::Finished stale = state->finish_response(cores, seq + 1);
  EXPECT_FALSE(stale.switched || stale.close || stale.transport || stale.leftover);
  // A failed response closes the connection whatever the seq.
  Handle t = state->fail_response(0);
  EXPECT_EQ(t.get(), &transport);
  EXPECT_TRUE(state->closed());
  EXPECT_FALSE(state->fail_response(seq));  // handed out once
}

TEST_F(ServerStateTest, IncompleteAndMalformedHeadsChangeNothing) {
  make();
  EXPECT_EQ(accept("GET / HT"), 0u);
  EXPECT_EQ(state->seq(), 0u);
  Obj& decoder = obj();
  RequestHead head;
  ParseKind error = ParseKind::kInternal;
  uint64_t seq = 0;
  EXPECT_EQ(state->accept_head(cores, "XP/1.1\r\n\r\n", ref(decoder), &head, &error, &seq, bin),
            HeadResult::kError);
  bin.drain();
  EXPECT_EQ(error, ParseKind::kVersion);
  EXPECT_EQ(codec.parse_error_status(), 400);
  EXPECT_EQ(state->seq(), 0u);
  EXPECT_FALSE(state->decoder_ref());
  EXPECT_TRUE(state->reusable());
  // The driver answers and closes: the transport comes out once.
  Handle t = state->fail_read();
  EXPECT_EQ(t.get(), &transport);
  EXPECT_TRUE(state->closed() && !state->reusable());
  EXPECT_FALSE(state->fail_read());
}

// The response promises keep-alive only when keep-alive is enabled, the request allows it and
// the connection is still reusable; an HTTP/1.0 request that asked for it is answered in kind.
TEST_F(ServerStateTest, KeepAliveWish) {
  struct Case {
    bool enabled;
    bool unusable;  // the body read broke before the response
    const char* head;
    const char* starts;
    bool close;
  };
  for (const Case& c :
       {Case{false, false, "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
             "HTTP/1.1 200 OK\r\nconnection: close\r\n", true},
        Case{true, true, "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\n",
             "HTTP/1.1 200 OK\r\nconnection: close\r\n", true},
        Case{true, false, "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
             "HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n", false},
        Case{true, false, "GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\ncontent-length", true}}) {
    SCOPED_TRACE(c.head);
    make(c.enabled);
    const uint64_t seq = accept(c.head);
    if (c.unusable) state->mark_unusable();
    Obj& done = obj();
    std::string out;
    respond(seq, 200, done, BodySpec{false, 1}, false, &out);
    EXPECT_EQ(out.rfind(c.starts, 0), 0u) << out;
    const ServerState::Finished f = state->finish_response(cores, seq);
    EXPECT_EQ(f.close, c.close);
    EXPECT_EQ(f.transport.get(), c.close ? &transport : nullptr);
    EXPECT_EQ(state->closed(), c.close);
  }
}

TEST_F(ServerStateTest, UnreadBodyIsDrainedThenTheNextRequestFollows) {
  make();
  Obj* decoder = nullptr;
  const uint64_t seq =
      accept("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nhello", nullptr, &decoder);
  Obj& done = obj();
  respond(seq, 200, done);
  state->finish_response(cores, seq);
  EXPECT_EQ(begin_read().step, NextStep::kDrain);
  // The drain still runs: a second begin_read closes.
  ServerState::Next closing = begin_read();
  EXPECT_EQ(closing.step, NextStep::kClose);
  EXPECT_EQ(closing.object.get(), &transport);
  EXPECT_TRUE(state->closed());

  // Once more, with the drain completing and a pipelined head behind the body.
  closing = {};
  make();
  const uint64_t seq2 =
      accept("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhel", nullptr, &decoder);
  respond(seq2, 200, done);
  state->finish_response(cores, seq2);
  EXPECT_EQ(begin_read().step, NextStep::kDrain);
  decoder->decoder->feed("loGET /next HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string body;
  while (body.size() < 5 && decoder->decoder->decode_into(&body).status == DecodeStatus::kData) {
  }
  EXPECT_EQ(body, "hello");
  ServerState::Next n = state->drain_done(cores, true, bin);
  bin.drain();
  EXPECT_EQ(n.step, NextStep::kParse);
  RequestHead head;
  EXPECT_EQ(accept("", &head), seq2 + 1);
  EXPECT_EQ(head.target, "/next");
}

TEST_F(ServerStateTest, FailedDrainCloses) {
  make();
  const uint64_t seq = accept("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n");
  Obj& done = obj();
  respond(seq, 200, done);
  state->finish_response(cores, seq);
  EXPECT_EQ(begin_read().step, NextStep::kDrain);
  ServerState::Next n = state->drain_done(cores, false, bin);
  EXPECT_EQ(n.step, NextStep::kClose);
  EXPECT_EQ(n.object.get(), &transport);
  EXPECT_EQ(begin_read().step, NextStep::kNone);
}

TEST_F(ServerStateTest, BodyReaderClaimsTheRead) {
  make();
  const uint64_t seq = accept("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n");
  EXPECT_TRUE(state->begin_body_read(seq));
  EXPECT_FALSE(state->begin_body_read(seq));  // one reader
  state->end_body_read(seq, false);
  EXPECT_TRUE(state->begin_body_read(seq));
  state->end_body_read(seq, true);
  EXPECT_FALSE(state->begin_body_read(seq));  // the body has ended
}

TEST_F(ServerStateTest, ContinueIsClaimedBeforeTheResponse) {
  make();
  const uint64_t seq =
      accept("POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
  EXPECT_TRUE(state->try_send_continue(seq));
  EXPECT_FALSE(state->try_send_continue(seq));
  Obj& done = obj();
  EXPECT_EQ(respond(seq, 200, done).verdict, RequestVerdict::kContinue);
  EXPECT_TRUE(state->responded());
  std::string out;
  EXPECT_EQ(respond(seq, 200, done, {}, false, &out).verdict, RequestVerdict::kOk);
  EXPECT_FALSE(out.empty());
  EXPECT_EQ(respond(seq, 200, done).verdict, RequestVerdict::kAlready);

  // No continue for HTTP/1.0, without Expect, or once the response was claimed.
  make();
  EXPECT_FALSE(state->try_send_continue(
      accept("POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\nx")));
  EXPECT_FALSE(state->try_send_continue(accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n")));
}

TEST_F(ServerStateTest, UpgradeHandsOverTransportAndLeftover) {
  make();
  const uint64_t seq = accept(
      "GET / HTTP/1.1\r\nHost: x\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\nearly bytes");
  Obj& done = obj();
  const ServerState::Responded r = respond(seq, 101, done, {}, true);
  EXPECT_EQ(r.verdict, RequestVerdict::kOk);
  EXPECT_FALSE(r.armed);  // no watcher on a connection that switches
  Obj& done2 = obj();
  EXPECT_FALSE(arm(seq, done2, true, true));
  ServerState::Finished f = state->finish_response(cores, seq);
  EXPECT_TRUE(f.switched);
  EXPECT_EQ(f.transport.get(), &transport);
  EXPECT_EQ(f.leftover, "early bytes");
  EXPECT_TRUE(state->upgraded() && state->closed());
  EXPECT_FALSE(state->mark_closed().transport);  // the caller owns it now
  EXPECT_FALSE(state->fail_read());
}

// The driver may negotiate the head itself and say so when it arms the watcher: no switch is
// known then, so the watcher may watch, and the connection closes after the response.
TEST_F(ServerStateTest, HeadNegotiatedByTheDriverGrantsNoReuse) {
  make();
  const uint64_t seq =
      accept("GET / HTTP/1.1\r\nHost: x\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\n");
  Obj& done = obj();
  EXPECT_FALSE(arm(seq, done));  // may switch, and nothing is known yet
  EXPECT_TRUE(arm(seq, done, true, true));
  const ServerState::Finished f = state->finish_response(cores, seq);
  EXPECT_FALSE(f.switched);
  EXPECT_TRUE(f.close);
  EXPECT_EQ(f.transport.get(), &transport);
}

// A claimed 100 Continue holds back the response head, not a detach, and is claimed once.
TEST_F(ServerStateTest, ClaimedContinueAndDetach) {
  make();
  const uint64_t seq =
      accept("POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
  EXPECT_TRUE(state->try_send_continue(seq));
  EXPECT_FALSE(state->responded());
  EXPECT_EQ(state->detach(cores, seq, bin).verdict, RequestVerdict::kOk);
  EXPECT_FALSE(state->try_send_continue(seq));
  Obj& done = obj();
  EXPECT_EQ(respond(seq, 200, done).verdict, RequestVerdict::kAlready);
}

TEST_F(ServerStateTest, SwitchDecisions) {
  // 101 without an upgrade request, and 4xx to CONNECT, are no switch; 2xx to CONNECT is.
  struct Case {
    const char* head;
    uint16_t status;
    bool switched;
  };
  for (const Case& c : {Case{"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 101, false},
                        Case{"CONNECT h:443 HTTP/1.1\r\nHost: x\r\n\r\n", 404, false},
                        Case{"CONNECT h:443 HTTP/1.1\r\nHost: x\r\n\r\n", 200, true}}) {
    make();
    const uint64_t seq = accept(c.head);
    Obj& done = obj();
    respond(seq, c.status, done);
    ServerState::Finished f = state->finish_response(cores, seq);
    EXPECT_EQ(f.switched, c.switched) << c.head << c.status;
  }
}

TEST_F(ServerStateTest, Detach) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\nmore");
  EXPECT_EQ(state->detach(cores, seq + 1, bin).verdict, RequestVerdict::kStale);
  ServerState::Detached d = state->detach(cores, seq, bin);
  EXPECT_EQ(d.verdict, RequestVerdict::kOk);
  EXPECT_EQ(d.transport.get(), &transport);
  EXPECT_EQ(d.leftover, "more");
  EXPECT_TRUE(state->upgraded());
  EXPECT_EQ(state->detach(cores, seq, bin).verdict, RequestVerdict::kAlready);
}

TEST_F(ServerStateTest, DetachWaitsForAParkedWatcherAndTakesWhatItRead) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  ASSERT_TRUE(arm(seq, done));
  EXPECT_TRUE(state->watcher_parked());
  EXPECT_EQ(state->detach(cores, seq, bin).verdict, RequestVerdict::kParked);
  Obj& read = obj();
  read.bytes = "tunnel bytes";
  EXPECT_FALSE(state->watcher_completed(ref(read), read.bytes.size(), Handle(), bin));
  bin.drain();
  ServerState::Detached d = state->detach(cores, seq, bin);
  bin.drain();
  EXPECT_EQ(d.verdict, RequestVerdict::kOk);
  EXPECT_EQ(d.leftover, "tunnel bytes");
}

TEST_F(ServerStateTest, ClientClosingMidResponse) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  const ServerState::Responded r = respond(seq, 200, done, BodySpec{true, {}}, true);
  ASSERT_TRUE(r.armed);
  Handle ev = state->watcher_done();
  EXPECT_EQ(ev.get(), &done);
  Obj& task = obj();
  EXPECT_FALSE(state->store_watcher_handle(ref(task)));
  Obj& other = obj();
  Handle refused = state->store_watcher_handle(ref(other));
  EXPECT_EQ(refused.get(), &other);
  Obj& eof = obj();  // b"": end of input
  EXPECT_TRUE(state->watcher_completed(ref(eof), 0, Handle(), bin));
  EXPECT_FALSE(state->watcher_completed(ref(eof), 0, Handle(), bin));  // recorded once
  bin.drain();
  EXPECT_FALSE(state->reusable());
  EXPECT_EQ(state->peer_closed_now(seq), std::nullopt);  // the window is still open
  EXPECT_TRUE(state->close_window(seq));
  EXPECT_EQ(state->peer_closed_now(seq), true);
  EXPECT_TRUE(state->peer_closed_flag(seq));
  Handle t = state->take_watcher_handle();
  EXPECT_EQ(t.get(), &task);
  ServerState::WatcherResult result = state->take_watcher_result(bin);
  bin.drain();
  EXPECT_EQ(result.data.get(), &eof);
  EXPECT_FALSE(state->has_watcher());
  Obj& late = obj();  // a racing close freed the slot: nothing is recorded
  EXPECT_FALSE(state->watcher_completed(Handle(), 0, ref(late), bin));
  bin.drain();
}

TEST_F(ServerStateTest, PeerClosedBeforeTheHeadIsWritten) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  ASSERT_TRUE(arm(seq, done));
  EXPECT_TRUE(state->watcher_completed(Handle(), 0, Handle(), bin));  // an error: no data
  bin.drain();
  Obj& done2 = obj();
  EXPECT_EQ(respond(seq, 200, done2).verdict, RequestVerdict::kPeerClosed);
}

TEST_F(ServerStateTest, PipelinedBytesReadByTheWatcherComeBack) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  ASSERT_TRUE(arm(seq, done));
  Obj& read = obj();
  read.bytes = "GET /2 HTTP/1.1\r\nHost: x\r\n\r\n";
  EXPECT_FALSE(state->watcher_completed(ref(read), read.bytes.size(), Handle(), bin));
  bin.drain();
  respond(seq, 200, done);
  state->finish_response(cores, seq);
  ServerState::Next n = begin_read();
  EXPECT_EQ(n.step, NextStep::kWatcher);  // the read belongs to the watcher
  EXPECT_EQ(n.object.get(), &done);
  EXPECT_FALSE(state->take_watcher_handle());
  ServerState::WatcherResult result = state->take_watcher_result(bin);
  bin.drain();
  EXPECT_EQ(result.data.get(), &read);
  EXPECT_FALSE(state->has_watcher());
  EXPECT_FALSE(state->unpark_idle_read());
}

TEST_F(ServerStateTest, ArmDecision) {
  make();
  const uint64_t body_unread = accept("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n");
  Obj& done = obj();
  EXPECT_FALSE(arm(body_unread, done));  // the body reader owns the read
  state->end_body_read(body_unread, true);
  EXPECT_TRUE(arm(body_unread, done));
  EXPECT_FALSE(arm(body_unread, done));  // one slot at a time
  EXPECT_FALSE(arm(body_unread + 1, done));

  make();
  EXPECT_FALSE(arm(accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), done, false));  // nobody asked

  make(true, true);
  EXPECT_FALSE(arm(accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), done));  // half-close allowed

  make(true, false, false);
  EXPECT_FALSE(arm(accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), done));  // no transport

  // Pipelined bytes in the decoder go back to the codec instead.
  make();
  Obj* decoder = nullptr;
  const uint64_t seq = accept(
      "GET /1 HTTP/1.1\r\nHost: x\r\n\r\nGET /2 HTTP/1.1\r\nHost: x\r\n\r\n", nullptr, &decoder);
  EXPECT_GT(decoder->decoder->buffered(), 0u);
  EXPECT_FALSE(arm(seq, done));
  EXPECT_EQ(decoder->decoder->buffered(), 0u);
  EXPECT_GT(codec.buffered(), 0u);
}

TEST_F(ServerStateTest, GracefulShutdown) {
  // While an idle read is parked: the transport comes back to close it, and the read stops.
  make();
  EXPECT_EQ(begin_read().step, NextStep::kTransport);
  Handle t = state->request_shutdown();
  EXPECT_EQ(t.get(), &transport);
  EXPECT_TRUE(state->unpark_idle_read());
  EXPECT_TRUE(state->shutdown_requested());

  // While a request is in flight: it finishes, then no more.
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_FALSE(state->request_shutdown());
  Obj& done = obj();
  std::string out;
  respond(seq, 200, done, {}, false, &out);
  EXPECT_NE(out.find("connection: close"), std::string::npos);
  ServerState::Finished f = state->finish_response(cores, seq);
  EXPECT_TRUE(f.close);
  EXPECT_EQ(begin_read().step, NextStep::kNone);
}

TEST_F(ServerStateTest, ShutdownAtTheNextHead) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  respond(seq, 200, done);
  state->finish_response(cores, seq);
  state->mark_unusable();
  EXPECT_EQ(begin_read().step, NextStep::kNone);

  // Positioned at the next head while a shutdown is pending (reached through drain_done, which
  // does not ask whether the connection is reusable).
  make();
  const uint64_t seq2 = accept("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n");
  respond(seq2, 200, done);
  state->finish_response(cores, seq2);
  EXPECT_EQ(begin_read().step, NextStep::kDrain);
  EXPECT_FALSE(state->request_shutdown());
  ServerState::Next n = state->drain_done(cores, true, bin);
  EXPECT_EQ(n.step, NextStep::kShutdown);
}

TEST_F(ServerStateTest, EncoderErrorKeepsTheClaim) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  const ServerState::Responded r = respond(seq, 100, done);
  EXPECT_EQ(r.failure, UserKind::kUnsupportedStatusCode);
  EXPECT_TRUE(state->responded());
  EXPECT_EQ(respond(seq, 200, done).verdict, RequestVerdict::kAlready);
}

TEST_F(ServerStateTest, NoTransportReadsAsEndOfInput) {
  make(true, false, false);
  EXPECT_EQ(begin_read().step, NextStep::kEof);
  EXPECT_FALSE(state->transport_ref());
  EXPECT_FALSE(state->fail_read());
}

TEST_F(ServerStateTest, MarkClosedLendsTheDoneEventAndKeepsTheSlot) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  ASSERT_TRUE(arm(seq, done));
  ServerState::Closing c = state->mark_closed();
  EXPECT_FALSE(c.was_closed);
  EXPECT_EQ(c.transport.get(), &transport);
  EXPECT_EQ(c.watcher_done.get(), &done);
  EXPECT_TRUE(state->has_watcher());
  Obj& task = obj();
  Handle refused = state->store_watcher_handle(ref(task));  // closed: refused
  EXPECT_EQ(refused.get(), &task);
  EXPECT_TRUE(state->mark_closed().was_closed);
}

TEST_F(ServerStateTest, ClearLetsGoOfEverything) {
  make();
  const uint64_t seq = accept("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  Obj& done = obj();
  ASSERT_TRUE(arm(seq, done));
  Obj& task = obj();
  EXPECT_FALSE(state->store_watcher_handle(ref(task)));
  int held = 0;
  for (void* p : state->held())
    held += p != nullptr;
  EXPECT_EQ(held, 4);  // transport, decoder, done event, task
  state->clear(bin);
  EXPECT_EQ(bin.size(), 4u);
  bin.drain();
  for (void* p : state->held())
    EXPECT_EQ(p, nullptr);
  EXPECT_EQ(transport.refs, 1);
}

}  // namespace
}  // namespace quillet::h1
