#include "wire/h2/stream_state.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace quillet::h2 {
namespace {

// The text of every reachable state, and how to get there from Idle.
const std::string kIdle = "Idle";
const std::string kResLocal = "ReservedLocal";
const std::string kResRemote = "ReservedRemote";
const std::string kOpenAA = "Open { local: AwaitingHeaders, remote: AwaitingHeaders }";
const std::string kOpenAS = "Open { local: AwaitingHeaders, remote: Streaming }";
const std::string kOpenSA = "Open { local: Streaming, remote: AwaitingHeaders }";
const std::string kOpenSS = "Open { local: Streaming, remote: Streaming }";
const std::string kHclA = "HalfClosedLocal(AwaitingHeaders)";
const std::string kHclS = "HalfClosedLocal(Streaming)";
const std::string kHcrA = "HalfClosedRemote(AwaitingHeaders)";
const std::string kHcrS = "HalfClosedRemote(Streaming)";
const std::string kEnd = "Closed(EndStream)";
const std::string kUserReset = "Closed(Error(Reset { stream_id: 1, reason: 8, initiator: user }))";
const std::string kResetAfterEnd =
    "Closed(ErrorAfterEndStream(Reset { stream_id: 1, reason: 8, initiator: remote }))";
const std::string kScheduled = "Closed(ScheduledLibraryReset(8))";

using Step = std::function<void(StreamState&)>;

Step send_open(bool eos) {
  return [eos](StreamState& s) { ASSERT_TRUE(s.send_open(eos)); };
}
Step recv_open(bool eos, bool informational) {
  return [=](StreamState& s) { ASSERT_NE(s.recv_open(eos, informational), RecvOpen::kRefused); };
}

StreamState reach(const std::string& target) {
  static const std::vector<std::pair<std::string, std::vector<Step>>> kPaths = {
      {kIdle, {}},
      {kResLocal, {[](StreamState& s) { ASSERT_TRUE(s.reserve_local()); }}},
      {kResRemote, {[](StreamState& s) { ASSERT_TRUE(s.reserve_remote()); }}},
      {kOpenAA, {recv_open(false, true)}},
      {kOpenAS, {recv_open(false, false)}},
      {kOpenSA, {send_open(false)}},
      {kOpenSS, {send_open(false), recv_open(false, false)}},
      {kHclA, {send_open(true)}},
      {kHclS, {send_open(true), recv_open(false, false)}},
      {kHcrA, {recv_open(true, false)}},
      {kHcrS, {recv_open(true, false), send_open(false)}},
      {kEnd, {send_open(true), recv_open(true, false)}},
      {kUserReset, {[](StreamState& s) { s.set_reset(1, 8, Initiator::kUser); }}},
      {kResetAfterEnd, {recv_open(true, false), [](StreamState& s) { s.recv_reset(1, 8, false); }}},
      {kScheduled, {[](StreamState& s) { ASSERT_TRUE(s.set_scheduled_reset(8)); }}},
  };
  for (const auto& [name, steps] : kPaths) {
    if (name != target) continue;
    StreamState s;
    for (const Step& step : steps)
      step(s);
    EXPECT_EQ(s.describe(), target);
    return s;
  }
  ADD_FAILURE() << "no path to " << target;
  return {};
}

const std::vector<std::string> kAllStates = {
    kIdle, kResLocal, kResRemote, kOpenAA, kOpenAS,    kOpenSA,        kOpenSS,   kHclA,
    kHclS, kHcrA,     kHcrS,      kEnd,    kUserReset, kResetAfterEnd, kScheduled};

// The opening and closing transitions. A cell is the state after the call, or "=" where the call
// is refused and leaves the state as it was.
enum Op {
  kSendOpen,
  kSendOpenEos,
  kRecvOpen,
  kRecvOpenInformational,
  kRecvOpenEos,
  kReserveRemote,
  kReserveLocal,
  kRecvClose,
  kSendClose,
  kScheduleReset,
  kOpCount
};
const char* const kOpNames[kOpCount] = {
    "send_open(false)",       "send_open(true)",        "recv_open(false, false)",
    "recv_open(false, true)", "recv_open(true, false)", "reserve_remote()",
    "reserve_local()",        "recv_close()",           "send_close()",
    "set_scheduled_reset(2)"};

// Returns whether the call was accepted.
bool apply(StreamState& s, Op op) {
  switch (op) {
    case kSendOpen:
      return s.send_open(false);
    case kSendOpenEos:
      return s.send_open(true);
    case kRecvOpen:
      return s.recv_open(false, false) != RecvOpen::kRefused;
    case kRecvOpenInformational:
      return s.recv_open(false, true) != RecvOpen::kRefused;
    case kRecvOpenEos:
      return s.recv_open(true, false) != RecvOpen::kRefused;
    case kReserveRemote:
      return s.reserve_remote();
    case kReserveLocal:
      return s.reserve_local();
    case kRecvClose:
      return s.recv_close();
    case kSendClose:
      return s.send_close();
    case kScheduleReset:
      return s.set_scheduled_reset(2);
    case kOpCount:
      break;
  }
  return false;
}

struct TransitionRow {
  std::string from;
  std::array<std::string, kOpCount> to;
};

const std::string R = "=";  // refused
const std::string kSched2 = "Closed(ScheduledLibraryReset(2))";

// clang-format off
const std::vector<TransitionRow> kTransitions = {
    //               send_open F/T     recv_open FF/FT/TF           reserve R/L  recv_close send_close scheduled
    {kIdle,       {kOpenSA, kHclA,     kOpenAS, kOpenAA,    kHcrA,  kResRemote, kResLocal, R,     R,     kSched2}},
    {kResLocal,   {kHcrS,   kEnd,      R,       R,          R,      R, R,                  R,     R,     kSched2}},
    {kResRemote,  {R,       R,         kHclS,   kResRemote, kEnd,   R, R,                  R,     R,     kSched2}},
    {kOpenAA,     {kOpenSA, kHclA,     kOpenAS, kOpenAA,    kHcrA,  R, R,                  kHcrA, R,     kSched2}},
    {kOpenAS,     {kOpenSS, kHclS,     R,       R,          R,      R, R,                  kHcrA, R,     kSched2}},
    {kOpenSA,     {R,       R,         kOpenSS, kOpenSA,    kHcrS,  R, R,                  kHcrS, kHclA, kSched2}},
    {kOpenSS,     {R,       R,         R,       R,          R,      R, R,                  kHcrS, kHclS, kSched2}},
    {kHclA,       {R,       R,         kHclS,   kHclA,      kEnd,   R, R,                  kEnd,  R,     kSched2}},
    {kHclS,       {R,       R,         R,       R,          R,      R, R,                  kEnd,  R,     kSched2}},
    {kHcrA,       {kHcrS,   kEnd,      R,       R,          R,      R, R,                  R,     R,     kSched2}},
    {kHcrS,       {R,       R,         R,       R,          R,      R, R,                  R,     kEnd,  kSched2}},
    {kEnd,        {R,       R,         R,       R,          R,      R, R,                  R,     R,     R}},
    {kUserReset,  {R,       R,         R,       R,          R,      R, R,                  R,     R,     R}},
    {kResetAfterEnd, {R,    R,         R,       R,          R,      R, R,                  R,     R,     R}},
    {kScheduled,  {R,       R,         R,       R,          R,      R, R,                  R,     R,     R}},
};
// clang-format on

TEST(StreamState, EveryTransitionFromEveryReachableState) {
  ASSERT_EQ(kTransitions.size(), kAllStates.size());
  for (const TransitionRow& row : kTransitions) {
    for (int op = 0; op < kOpCount; ++op) {
      StreamState s = reach(row.from);
      const bool accepted = apply(s, Op(op));
      const std::string& want = row.to[op];
      SCOPED_TRACE(row.from + " " + kOpNames[op]);
      EXPECT_EQ(accepted, want != R);
      EXPECT_EQ(s.describe(), want == R ? row.from : want);
    }
  }
}

TEST(StreamState, RecvOpenTellsWhetherItOpenedTheStream) {
  for (const std::string& from : kAllStates) {
    SCOPED_TRACE(from);
    StreamState s = reach(from);
    const RecvOpen result = s.recv_open(false, true);
    if (from == kIdle || from == kResRemote) {
      EXPECT_EQ(result, RecvOpen::kOpened);
    } else if (from == kOpenAA || from == kOpenSA || from == kHclA) {
      EXPECT_EQ(result, RecvOpen::kAlreadyOpen);
    } else {
      EXPECT_EQ(result, RecvOpen::kRefused);
    }
  }
}

TEST(StreamState, ClientExchangeWithAnInterimResponse) {
  StreamState s;
  ASSERT_TRUE(s.send_open(true));
  EXPECT_EQ(s.recv_open(false, true), RecvOpen::kAlreadyOpen);  // 100 Continue
  EXPECT_EQ(s.describe(), kHclA);
  EXPECT_EQ(s.recv_open(false, false), RecvOpen::kAlreadyOpen);  // the 200 head
  EXPECT_EQ(s.describe(), kHclS);
  ASSERT_TRUE(s.recv_close());
  EXPECT_EQ(s.describe(), kEnd);
  EXPECT_EQ(s.ensure_recv_open(), RecvCheck::kEnded);
}

// recv_reset: a closed stream takes the peer's reset only while frames of it are queued; the
// cause records whether the peer had finished sending.
TEST(StreamState, RecvResetRecordsWhetherTheBodyWasComplete) {
  const std::string error = "Closed(Error(Reset { stream_id: 3, reason: 2, initiator: remote }))";
  const std::string after =
      "Closed(ErrorAfterEndStream(Reset { stream_id: 3, reason: 2, initiator: remote }))";
  struct Row {
    const std::string& from;
    std::string unqueued, queued;  // the state after recv_reset(3, 2, queued)
  };
  const std::vector<Row> rows = {
      {kIdle, error, error},           {kResLocal, error, error},
      {kResRemote, error, error},      {kOpenAA, error, error},
      {kOpenAS, error, error},         {kOpenSA, error, error},
      {kOpenSS, error, error},         {kHclA, error, error},
      {kHclS, error, error},           {kHcrA, after, after},
      {kHcrS, after, after},           {kEnd, kEnd, after},
      {kUserReset, kUserReset, error}, {kResetAfterEnd, kResetAfterEnd, after},
      {kScheduled, kScheduled, error},
  };
  ASSERT_EQ(rows.size(), kAllStates.size());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.from);
    StreamState s = reach(row.from);
    s.recv_reset(3, 2, false);
    EXPECT_EQ(s.describe(), row.unqueued);
    s = reach(row.from);
    s.recv_reset(3, 2, true);
    EXPECT_EQ(s.describe(), row.queued);
  }
}

TEST(StreamState, FailuresCloseOnlyWhatIsStillOpen) {
  const StreamError go_away = StreamError::go_away("bye\n", 0, Initiator::kRemote);
  for (const std::string& from : kAllStates) {
    SCOPED_TRACE(from);
    const bool closed = from.rfind("Closed", 0) == 0;
    StreamState s = reach(from);
    s.recv_eof();
    EXPECT_EQ(s.describe(), closed ? from : "Closed(Error(Io(BrokenPipe)))");
    s = reach(from);
    s.fail(go_away);
    EXPECT_EQ(s.describe(),
              closed ? from
                     : "Closed(Error(GoAway { debug_data: \"bye\\n\", reason: 0, initiator: remote "
                       "}))");
    if (!closed) {
      EXPECT_EQ(s.error(), go_away);
    }
    // set_reset replaces every state, a closed one included.
    s = reach(from);
    s.set_reset(kMaxStreamId, 0xffffffff, Initiator::kLibrary);
    EXPECT_EQ(s.describe(),
              "Closed(Error(Reset { stream_id: 2147483647, reason: 4294967295, initiator: "
              "library }))");
  }
}

TEST(StreamState, ScheduledResetIsSetOnceAndReadBack) {
  StreamState s;
  EXPECT_EQ(s.scheduled_reset(), std::nullopt);
  ASSERT_TRUE(s.set_scheduled_reset(0xffffffff));
  EXPECT_EQ(s.scheduled_reset(), 0xffffffffu);
  EXPECT_FALSE(s.set_scheduled_reset(1));
  EXPECT_EQ(s.scheduled_reset(), 0xffffffffu);
  EXPECT_EQ(s.ensure_recv_open(), RecvCheck::kScheduledReset);
  // A peer reset of a stream whose frames are still queued replaces the scheduled one.
  s.recv_reset(1, 8, true);
  EXPECT_EQ(s.scheduled_reset(), std::nullopt);
}

// The predicates and ensure_recv_open() for every reachable state and every kind of error.
TEST(StreamState, PredicatesOfEveryState) {
  using Pred = bool (StreamState::*)() const;
  const std::vector<std::pair<std::string, Pred>> preds = {
      {"idle", &StreamState::is_idle},
      {"closed", &StreamState::is_closed},
      {"reset", &StreamState::is_reset},
      {"scheduled_reset", &StreamState::is_scheduled_reset},
      {"local_error", &StreamState::is_local_error},
      {"remote_reset", &StreamState::is_remote_reset},
      {"send_streaming", &StreamState::is_send_streaming},
      {"send_closed", &StreamState::is_send_closed},
      {"recv_headers", &StreamState::is_recv_headers},
      {"recv_streaming", &StreamState::is_recv_streaming},
      {"recv_end_stream", &StreamState::is_recv_end_stream},
  };
  struct Row {
    std::function<StreamState()> make;
    std::set<std::string> true_preds;
    RecvCheck recv;
  };
  auto at = [](const std::string& name) { return [name] { return reach(name); }; };
  auto failed = [](StreamError error, bool after_end) {
    return [error, after_end] {
      StreamState s;
      // A peer reset after END_STREAM is the one way to an error after the end; other errors
      // are placed by fail().
      if (after_end) {
        EXPECT_NE(s.recv_open(true, false), RecvOpen::kRefused);
        s.recv_reset(error.stream_id, error.reason, false);
      } else {
        s.fail(error);
      }
      return s;
    };
  };
  const std::vector<Row> rows = {
      {at(kIdle), {"idle", "recv_headers"}, RecvCheck::kOpen},
      {at(kResLocal), {}, RecvCheck::kEnded},
      {at(kResRemote), {"send_closed", "recv_headers"}, RecvCheck::kOpen},
      {at(kOpenAA), {"recv_headers"}, RecvCheck::kOpen},
      {at(kOpenAS), {"recv_streaming"}, RecvCheck::kOpen},
      {at(kOpenSA), {"send_streaming", "recv_headers"}, RecvCheck::kOpen},
      {at(kOpenSS), {"send_streaming", "recv_streaming"}, RecvCheck::kOpen},
      {at(kHclA), {"send_closed", "recv_headers"}, RecvCheck::kOpen},
      {at(kHclS), {"send_closed", "recv_streaming"}, RecvCheck::kOpen},
      {at(kHcrA), {"recv_end_stream"}, RecvCheck::kEnded},
      {at(kHcrS), {"send_streaming", "recv_end_stream"}, RecvCheck::kEnded},
      {at(kEnd), {"closed", "send_closed", "recv_end_stream"}, RecvCheck::kEnded},
      {at(kUserReset), {"closed", "reset", "local_error", "send_closed"}, RecvCheck::kFailed},
      {at(kResetAfterEnd),
       {"closed", "reset", "remote_reset", "send_closed", "recv_end_stream"},
       RecvCheck::kEnded},
      {at(kScheduled),
       {"closed", "reset", "scheduled_reset", "local_error", "send_closed"},
       RecvCheck::kScheduledReset},
      {failed(StreamError::reset(1, 8, Initiator::kRemote), false),
       {"closed", "reset", "remote_reset", "send_closed"},
       RecvCheck::kFailed},
      {failed(StreamError::reset(1, 1, Initiator::kLibrary), false),
       {"closed", "reset", "local_error", "send_closed"},
       RecvCheck::kFailed},
      {failed(StreamError::io_error(IoKind::kBrokenPipe), false),
       {"closed", "reset", "local_error", "send_closed"},
       RecvCheck::kFailed},
      {failed(StreamError::go_away("", 0, Initiator::kRemote), false),
       {"closed", "reset", "send_closed"},
       RecvCheck::kFailed},
      {failed(StreamError::go_away("", 2, Initiator::kLibrary), false),
       {"closed", "reset", "local_error", "send_closed"},
       RecvCheck::kFailed},
      {failed(StreamError::go_away("", 2, Initiator::kUser), false),
       {"closed", "reset", "local_error", "send_closed"},
       RecvCheck::kFailed},
  };
  for (const Row& row : rows) {
    const StreamState s = row.make();
    SCOPED_TRACE(s.describe());
    for (const auto& [name, pred] : preds) {
      EXPECT_EQ((s.*pred)(), row.true_preds.count(name) == 1) << name;
    }
    EXPECT_EQ(s.ensure_recv_open(), row.recv);
  }
}

TEST(StreamState, InitiatorNamesRoundTrip) {
  for (size_t i = 0; i < kInitiatorCount; ++i) {
    const Initiator initiator = Initiator(i);
    EXPECT_EQ(parse_initiator(initiator_name(initiator)), initiator);
  }
  EXPECT_EQ(initiator_name(Initiator::kUser), "user");
  EXPECT_EQ(initiator_name(Initiator::kLibrary), "library");
  EXPECT_EQ(initiator_name(Initiator::kRemote), "remote");
  for (std::string_view bad :
       {std::string_view(""), std::string_view("peer"), std::string_view("User"),
        std::string_view("remote "), std::string_view("user\0", 5)})
    EXPECT_EQ(parse_initiator(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace quillet::h2
