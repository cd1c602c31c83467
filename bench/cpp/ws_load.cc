// The WebSocket echo load generator of bench/bench_ws.py: a native client, so that its own cost
// per round trip is small beside any server's.
//
//   ws_load HOST PORT SIZE CONNECTIONS SECONDS
//
// Opens CONNECTIONS connections, each with the HTTP/1.1 upgrade handshake (RFC 6455 section 4),
// then has each send a masked binary message of SIZE octets and wait for its echo, over and over,
// for SECONDS seconds. One thread and one epoll set drive them all. Frames are written, masked
// and decoded by wire/ws (the client role: the server's frames must not be masked, and every rule
// of the decoder holds). Every echo is compared with the message sent.
//
// Prints "ROUND_TRIPS ELAPSED_SECONDS" on one line; a failure prints its reason to stderr and
// exits with 1. The clock starts once every connection has finished its handshake and one warm-up
// round trip; round trips still under way at the deadline are not counted.
#include "wire/common/base64.h"
#include "wire/ws/frame.h"
#include "wire/ws/handshake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace quillet;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "ws_load: %s\n", why.c_str());
  std::exit(1);
}

[[noreturn]] void die_errno(const std::string& what) {
  die(what + ": " + std::strerror(errno));
}

// The largest handshake response taken.
constexpr size_t kMaxResponseHead = 16 * 1024;
constexpr size_t kReadSize = 256 * 1024;

enum class Stage : uint8_t { kHandshake, kWaitingEcho, kIdle };

struct Connection {
  int fd = -1;
  Stage stage = Stage::kHandshake;
  std::string key;
  std::string head;  // the handshake response so far
  std::string out;   // octets not yet written
  size_t out_at = 0;
  bool want_write = false;
  // A server's frames are never masked: an echo left in the read buffer is compared in place.
  ws::Decoder decoder{ws::DecoderOptions{
      .role = ws::Role::kClient, .max_message_size = UINT64_MAX / 2, .leave_in_input = true}};
  ws::Batch batch;
  uint64_t round_trips = 0;
};

class Load {
 public:
  Load(const sockaddr_storage& addr, socklen_t addr_len, std::string host, size_t size,
       size_t connections)
      : addr_(addr),
        addr_len_(addr_len),
        host_(std::move(host)),
        payload_(size, '\0'),
        conns_(connections) {
    for (char& c : payload_)
      c = char(rng_());
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) die_errno("epoll_create1");
  }

  // Connects everything and runs one round trip on each.
  void open() {
    for (size_t i = 0; i < conns_.size(); ++i)
      start(i);
    while (ready_ < conns_.size())
      poll_once(nullptr);
    ready_ = 0;
  }

  // Runs round trips until `seconds` have passed; returns the count and the time taken.
  std::pair<uint64_t, double> run(double seconds) {
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    for (auto& c : conns_)
      c.round_trips = 0;
    counting_ = true;
    for (size_t i = 0; i < conns_.size(); ++i)
      send_message(i);
    while (true) {
      const auto now = Clock::now();
      if (now >= deadline) break;
      poll_once(&deadline);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    uint64_t total = 0;
    for (const auto& c : conns_)
      total += c.round_trips;
    return {total, elapsed};
  }

  // Sends a Close to each connection and closes it (what is in flight is dropped).
  void close_all() {
    std::string close_payload;
    (void)ws::write_close_payload(uint16_t(ws::kCloseNormal), "", &close_payload);
    for (auto& c : conns_) {
      std::string frame;
      (void)ws::write_frame(ws::FrameHead{ws::Opcode::kClose, true, false, next_key()},
                            close_payload, &frame);
      if (c.out_at == c.out.size()) (void)!::write(c.fd, frame.data(), frame.size());
      ::close(c.fd);
    }
  }

 private:
  ws::MaskKey next_key() {
    const uint32_t r = rng_();
    return {uint8_t(r), uint8_t(r >> 8), uint8_t(r >> 16), uint8_t(r >> 24)};
  }

  void start(size_t i) {
    Connection& c = conns_[i];
    c.fd = ::socket(addr_.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) die_errno("socket");
    const int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&addr_), addr_len_) < 0 &&
        errno != EINPROGRESS)
      die_errno("connect");
    std::string raw_key(16, '\0');
    for (char& ch : raw_key)
      ch = char(rng_());
    c.key = base64(raw_key);
    c.out = "GET / HTTP/1.1\r\nHost: " + host_ +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + c.key +
            "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    c.out_at = 0;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u64 = i;
    c.want_write = true;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev) < 0) die_errno("epoll_ctl");
  }

  void set_write_interest(size_t i, bool want) {
    Connection& c = conns_[i];
    if (c.want_write == want) return;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.u64 = i;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev) < 0) die_errno("epoll_ctl");
    c.want_write = want;
  }

  void send_message(size_t i) {
    Connection& c = conns_[i];
    c.out.clear();
    c.out_at = 0;
    if (auto e = ws::write_frame(ws::FrameHead{ws::Opcode::kBinary, true, false, next_key()},
                                 payload_, &c.out))
      die(std::string(ws::write_error_message(*e)));
    c.stage = Stage::kWaitingEcho;
    flush(i);
  }

  void flush(size_t i) {
    Connection& c = conns_[i];
    while (c.out_at < c.out.size()) {
      const ssize_t n = ::write(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) continue;
        die_errno("write");
      }
      c.out_at += size_t(n);
    }
    set_write_interest(i, c.out_at < c.out.size());
  }

  void poll_once(const Clock::time_point* deadline) {
    int timeout = -1;
    if (deadline != nullptr) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      timeout = int(std::max<int64_t>(0, left.count()));
    }
    epoll_event events[256];
    const int n = epoll_wait(epoll_, events, 256, timeout);
    if (n < 0) {
      if (errno == EINTR) return;
      die_errno("epoll_wait");
    }
    for (int k = 0; k < n; ++k) {
      const size_t i = size_t(events[k].data.u64);
      if (events[k].events & EPOLLOUT) flush(i);
      if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) receive(i);
    }
  }

  void receive(size_t i) {
    Connection& c = conns_[i];
    while (true) {
      const ssize_t n = ::read(c.fd, buffer_.get(), kReadSize);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno == EINTR) continue;
        die_errno("read");
      }
      if (n == 0) die("the server closed connection " + std::to_string(i));
      std::string_view data(buffer_.get(), size_t(n));
      if (c.stage == Stage::kHandshake) {
        data = take_head(i, data);
        if (c.stage == Stage::kHandshake) continue;
      }
      if (!data.empty()) take_frames(i, data);
      if (size_t(n) < kReadSize) return;
    }
  }

  // Collects the handshake response; returns what came after it.
  std::string_view take_head(size_t i, std::string_view data) {
    Connection& c = conns_[i];
    const size_t before = c.head.size();
    c.head.append(data);
    const size_t end = c.head.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (c.head.size() > kMaxResponseHead) die("the handshake response head is too long");
      return {};
    }
    const std::string_view head = std::string_view(c.head).substr(0, end + 2);
    if (head.substr(0, 13) != "HTTP/1.1 101 ")
      die("the handshake was refused: " + std::string(head.substr(0, head.find('\r'))));
    std::string lower(head);
    for (char& ch : lower)
      ch = char(std::tolower(static_cast<unsigned char>(ch)));
    const std::string accept = "\r\nsec-websocket-accept: " + ws::accept_value(c.key) + "\r\n";
    std::string expected = accept;
    for (char& ch : expected)
      ch = char(std::tolower(static_cast<unsigned char>(ch)));
    if (lower.find(expected) == std::string::npos) die("a wrong Sec-WebSocket-Accept");
    const size_t used = end + 4 - before;
    c.head.clear();
    c.stage = Stage::kIdle;
    send_message(i);  // the warm-up round trip
    return data.substr(used);
  }

  void take_frames(size_t i, std::string_view data) {
    Connection& c = conns_[i];
    if (auto failure = c.decoder.decode(data, &c.batch))
      die("the server broke a rule: " + std::string(failure->message()));
    for (const ws::Event& e : c.batch.events) {
      switch (e.kind) {
        case ws::EventKind::kBinary:
          if (c.stage != Stage::kWaitingEcho || c.batch.payload(e) != payload_)
            die("the echo is not the message");
          c.stage = Stage::kIdle;
          if (counting_) {
            ++c.round_trips;
            send_message(i);
          } else {
            ++ready_;  // the warm-up round trip: the connection waits for the clock
          }
          break;
        case ws::EventKind::kClose:
          die("the server closed connection " + std::to_string(i));
        case ws::EventKind::kText:
          die("the echo is text");
        case ws::EventKind::kPing:
        case ws::EventKind::kPong:
          break;  // no keep-alive ping lasts as long as a run here
      }
    }
  }

  sockaddr_storage addr_;
  socklen_t addr_len_;
  std::string host_;
  std::mt19937 rng_{std::random_device{}()};
  std::string payload_;
  std::vector<Connection> conns_;
  std::unique_ptr<char[]> buffer_{new char[kReadSize]};
  int epoll_ = -1;
  size_t ready_ = 0;
  bool counting_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: ws_load HOST PORT SIZE CONNECTIONS SECONDS\n");
    return 2;
  }
  const std::string host = argv[1];
  const std::string port = argv[2];
  const long long size = std::atoll(argv[3]);
  const long long connections = std::atoll(argv[4]);
  const double seconds = std::atof(argv[5]);
  if (size < 0 || connections < 1 || seconds <= 0) die("bad arguments");

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
    die(std::string("getaddrinfo: ") + gai_strerror(rc));
  sockaddr_storage addr{};
  std::memcpy(&addr, found->ai_addr, found->ai_addrlen);
  const socklen_t addr_len = found->ai_addrlen;
  freeaddrinfo(found);

  Load load(addr, addr_len, host + ":" + port, size_t(size), size_t(connections));
  load.open();
  const auto [count, elapsed] = load.run(seconds);
  load.close_all();
  std::printf("%llu %.6f\n", static_cast<unsigned long long>(count), elapsed);
  return 0;
}
