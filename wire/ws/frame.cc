#include "wire/ws/frame.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quillet::ws {
namespace {

constexpr uint8_t kFin = 0x80;
constexpr uint8_t kRsv1 = 0x40;
constexpr uint8_t kRsv2And3 = 0x30;
constexpr uint8_t kMaskBit = 0x80;

// A message this large could not be held on a 32-bit host whatever the configured limit.
constexpr uint64_t kAddressableLimit = SIZE_MAX / 2;

// Above this, the decoder's own message buffer is let go once its message is handed over.
constexpr size_t kKeptCapacity = 64 * 1024;

// The header size the first two octets announce.
size_t header_size_of(uint8_t b1) noexcept {
  const uint8_t len7 = b1 & 0x7F;
  return 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + ((b1 & kMaskBit) ? 4 : 0);
}

bool known_opcode(uint8_t op) noexcept {
  switch (op) {
    case uint8_t(Opcode::kContinuation):
    case uint8_t(Opcode::kText):
    case uint8_t(Opcode::kBinary):
    case uint8_t(Opcode::kClose):
    case uint8_t(Opcode::kPing):
    case uint8_t(Opcode::kPong):
      return true;
    default:
      return false;
  }
}

Failure fail(FailureKind kind) noexcept {
  return Failure{kind};
}

}  // namespace

std::optional<Failure> Decoder::decode(std::string_view input, Batch* out) {
  out->clear();
  if (failure_) return failure_;
  if (closed_) return std::nullopt;

  out->input = input;
  const char* const data = input.data();
  const size_t size = input.size();
  size_t pos = 0;
  std::optional<Failure> failure;
  while (!closed_) {
    if (phase_ == Phase::kHeader) {
      if (header_size_ == 0 && size - pos >= 2) {
        // The common case: the whole header is in the input, read in place.
        const auto* h = reinterpret_cast<const uint8_t*>(data + pos);
        const size_t need = header_size_of(h[1]);
        if (size - pos >= need) {
          pos += need;
          failure = start_frame(h, out);
          if (failure) break;
          if (options_.leave_in_input) leave_in_input(size - pos, &pos, out);
          continue;
        }
      }
      if (pos == size) break;
      // The header arrives in pieces: collect it.
      const size_t want = header_size_ < 2 ? 2 : header_size_of(header_[1]);
      const size_t take = std::min(want - header_size_, size - pos);
      std::memcpy(header_ + header_size_, data + pos, take);
      header_size_ += take;
      pos += take;
      if (header_size_ < 2) break;
      const size_t need = header_size_of(header_[1]);
      if (header_size_ < need) continue;  // the length octets are known only now
      header_size_ = 0;
      failure = start_frame(header_, out);
      if (failure) break;
      if (options_.leave_in_input) leave_in_input(size - pos, &pos, out);
      continue;
    }
    const size_t take = size_t(std::min<uint64_t>(remaining_, size - pos));
    if (take > 0) {
      failure = take_payload(data + pos, take, out);
      pos += take;
      if (failure) break;
    }
    if (remaining_ > 0) break;
    failure = end_frame(out);
    if (failure) break;
  }

  if (failure) {
    failure_ = failure;
    if (in_batch_) out->data.resize(batch_start_);
    in_batch_ = false;
    std::string().swap(message_);
    std::string().swap(control_);
    return failure;
  }
  if (message_open_ && in_batch_) keep_message(out);
  return std::nullopt;
}

std::optional<Failure> Decoder::start_frame(const uint8_t* h, Batch* out) {
  const uint8_t b0 = h[0];
  const uint8_t b1 = h[1];
  const uint8_t op = b0 & 0x0F;
  if (!known_opcode(op)) return fail(FailureKind::kReservedOpcode);
  const Opcode opcode = Opcode(op);
  const bool control = is_control(opcode);
  if (b0 & kRsv2And3) return fail(FailureKind::kReservedBits);
  const bool rsv1 = (b0 & kRsv1) != 0;
  if (rsv1) {
    if (!options_.allow_rsv1) return fail(FailureKind::kReservedBits);
    if (control) return fail(FailureKind::kRsv1OnControl);
    if (opcode == Opcode::kContinuation) return fail(FailureKind::kRsv1OnContinuation);
  }
  const bool masked = (b1 & kMaskBit) != 0;
  if (options_.role == Role::kServer && !masked) return fail(FailureKind::kUnmaskedFrame);
  if (options_.role == Role::kClient && masked) return fail(FailureKind::kMaskedFrame);

  uint64_t length = b1 & 0x7F;
  size_t at = 2;
  if (length == 126) {
    length = uint64_t(h[2]) << 8 | h[3];
    at = 4;
    if (length < 126) return fail(FailureKind::kNonMinimalLength);
  } else if (length == 127) {
    length = 0;
    for (size_t i = 2; i < 10; ++i)
      length = length << 8 | h[i];
    at = 10;
    if (length >> 63) return fail(FailureKind::kLengthTopBit);
    if (length < 65536) return fail(FailureKind::kNonMinimalLength);
  }

  const bool fin = (b0 & kFin) != 0;
  if (control) {
    if (!fin) return fail(FailureKind::kControlFragmented);
    if (length > kMaxControlPayload) return fail(FailureKind::kControlTooLong);
  } else {
    const bool continuation = opcode == Opcode::kContinuation;
    if (continuation && !message_open_) return fail(FailureKind::kContinuationWithoutStart);
    if (!continuation && message_open_) return fail(FailureKind::kMessageInterrupted);
    const uint64_t limit = std::min(options_.max_message_size, kAddressableLimit);
    const uint64_t so_far = continuation ? message_size_ : 0;
    if (so_far > limit || length > limit - so_far) return fail(FailureKind::kMessageTooBig);
    if (!continuation) {
      message_open_ = true;
      message_text_ = opcode == Opcode::kText;
      message_compressed_ = rsv1;
      message_size_ = 0;
      utf8_.reset();
      in_batch_ = true;
      batch_start_ = out->data.size();
    }
    message_size_ += length;
  }

  if (masked) std::memcpy(key_.data(), h + at, 4);
  opcode_ = opcode;
  fin_ = fin;
  masked_ = masked;
  mask_phase_ = 0;
  remaining_ = length;
  if (control) control_.clear();
  phase_ = Phase::kPayload;
  return std::nullopt;
}

void Decoder::leave_in_input(size_t available, size_t* pos, Batch* out) {
  if (is_control(opcode_) || opcode_ == Opcode::kContinuation || !fin_ || remaining_ > available)
    return;
  if (message_text_ && !message_compressed_) return;  // checked octet by octet as it is copied
  Event e;
  e.kind = message_text_ ? EventKind::kText : EventKind::kBinary;
  e.compressed = message_compressed_;
  e.offset = *pos;
  e.size = size_t(remaining_);
  e.in_input = true;
  e.masked = masked_;
  e.key = key_;
  out->events.push_back(e);
  *pos += e.size;
  remaining_ = 0;
  phase_ = Phase::kHeader;
  message_open_ = false;
  in_batch_ = false;
}

std::optional<Failure> Decoder::take_payload(const char* src, size_t n, Batch* out) {
  std::string& buffer = is_control(opcode_) ? control_ : message_buffer(out);
  const size_t old = buffer.size();
  buffer.resize(old + n);
  char* const dst = buffer.data() + old;
  if (masked_) {
    mask_phase_ = mask_copy(dst, src, n, key_, mask_phase_);
  } else {
    std::memcpy(dst, src, n);
  }
  remaining_ -= n;
  if (!is_control(opcode_) && message_text_ && !message_compressed_ &&
      !utf8_.feed(std::string_view(dst, n)))
    return fail(FailureKind::kInvalidUtf8);
  return std::nullopt;
}

std::optional<Failure> Decoder::end_frame(Batch* out) {
  phase_ = Phase::kHeader;
  Event e;
  switch (opcode_) {
    case Opcode::kPing:
    case Opcode::kPong:
      e.kind = opcode_ == Opcode::kPing ? EventKind::kPing : EventKind::kPong;
      e.offset = out->control.size();
      e.size = control_.size();
      out->control.append(control_);
      out->events.push_back(e);
      return std::nullopt;
    case Opcode::kClose: {
      e.kind = EventKind::kClose;
      if (control_.size() == 1) return fail(FailureKind::kCloseOneOctet);
      e.close_code = kCloseNoStatus;
      if (control_.size() >= 2) {
        const uint16_t code = uint16_t(uint8_t(control_[0]) << 8 | uint8_t(control_[1]));
        if (!close_code_valid(code)) return fail(FailureKind::kInvalidCloseCode);
        const std::string_view reason = std::string_view(control_).substr(2);
        if (!valid_utf8(reason)) return fail(FailureKind::kInvalidCloseReason);
        e.close_code = code;
        e.offset = out->control.size();
        e.size = reason.size();
        out->control.append(reason);
      }
      out->events.push_back(e);
      closed_ = true;
      // A message cut short by the close is dropped.
      if (in_batch_) out->data.resize(batch_start_);
      in_batch_ = false;
      message_open_ = false;
      std::string().swap(message_);
      return std::nullopt;
    }
    case Opcode::kContinuation:
    case Opcode::kText:
    case Opcode::kBinary:
      break;
  }
  if (!fin_) return std::nullopt;
  if (message_text_ && !message_compressed_ && !utf8_.complete())
    return fail(FailureKind::kInvalidUtf8);
  e.kind = message_text_ ? EventKind::kText : EventKind::kBinary;
  e.compressed = message_compressed_;
  if (in_batch_) {
    e.offset = batch_start_;
    e.size = out->data.size() - batch_start_;
  } else if (out->data.empty()) {
    out->data.swap(message_);
    e.size = out->data.size();
    message_.clear();
  } else {
    e.offset = out->data.size();
    e.size = message_.size();
    out->data.append(message_);
    message_.clear();
  }
  if (message_.capacity() > kKeptCapacity) std::string().swap(message_);
  out->events.push_back(e);
  message_open_ = false;
  in_batch_ = false;
  return std::nullopt;
}

void Decoder::keep_message(Batch* out) {
  if (batch_start_ == 0 && message_.empty()) {
    message_.swap(out->data);  // the message is all the batch holds: no copy
    out->data.clear();
  } else {
    message_.assign(out->data, batch_start_, std::string::npos);
    out->data.resize(batch_start_);
  }
  in_batch_ = false;
}

void Batch::copy_payload(const Event& e, char* dst) const noexcept {
  const std::string_view src = payload(e);
  if (e.masked) {
    mask_copy(dst, src.data(), src.size(), e.key, 0);
  } else if (!src.empty()) {
    std::memcpy(dst, src.data(), src.size());
  }
}

// --- writing ---

size_t write_frame_header(const FrameHead& head, uint64_t payload_size, char* dst) noexcept {
  auto* h = reinterpret_cast<uint8_t*>(dst);
  h[0] = uint8_t((head.fin ? kFin : 0) | (head.rsv1 ? kRsv1 : 0) | uint8_t(head.opcode));
  const uint8_t mask_bit = head.mask ? kMaskBit : 0;
  size_t at;
  if (payload_size < 126) {
    h[1] = uint8_t(mask_bit | payload_size);
    at = 2;
  } else if (payload_size < 65536) {
    h[1] = mask_bit | 126;
    h[2] = uint8_t(payload_size >> 8);
    h[3] = uint8_t(payload_size);
    at = 4;
  } else {
    h[1] = mask_bit | 127;
    for (size_t i = 0; i < 8; ++i)
      h[2 + i] = uint8_t(payload_size >> (56 - 8 * i));
    at = 10;
  }
  if (head.mask) {
    std::memcpy(h + at, head.mask->data(), 4);
    at += 4;
  }
  return at;
}

std::optional<WriteError> check_frame_head(const FrameHead& head, uint64_t payload_size) noexcept {
  if (is_control(head.opcode)) {
    if (payload_size > kMaxControlPayload) return WriteError::kControlTooLong;
    if (!head.fin) return WriteError::kControlFragmented;
    if (head.rsv1) return WriteError::kRsv1OnControl;
  } else if (head.rsv1 && head.opcode == Opcode::kContinuation) {
    return WriteError::kRsv1OnContinuation;
  }
  return std::nullopt;
}

namespace {

size_t write_checked(const FrameHead& head, std::string_view payload, char* dst) noexcept {
  const size_t at = write_frame_header(head, payload.size(), dst);
  if (head.mask) {
    mask_copy(dst + at, payload.data(), payload.size(), *head.mask, 0);
  } else if (!payload.empty()) {
    std::memcpy(dst + at, payload.data(), payload.size());
  }
  return at + payload.size();
}

}  // namespace

std::optional<WriteError> write_frame(const FrameHead& head, std::string_view payload,
                                      std::string* out) {
  if (auto e = check_frame_head(head, payload.size())) return e;
  const size_t old = out->size();
  out->resize(old + frame_header_size(payload.size(), head.mask.has_value()) + payload.size());
  write_checked(head, payload, out->data() + old);
  return std::nullopt;
}

std::optional<WriteError> write_frame(const FrameHead& head, std::string_view payload, char* dst,
                                      size_t capacity, size_t* written) {
  *written = 0;
  if (auto e = check_frame_head(head, payload.size())) return e;
  const size_t header = frame_header_size(payload.size(), head.mask.has_value());
  if (capacity < header || capacity - header < payload.size()) return WriteError::kBufferTooSmall;
  *written = write_checked(head, payload, dst);
  return std::nullopt;
}

std::optional<WriteError> write_close_payload(std::optional<uint16_t> code, std::string_view reason,
                                              std::string* out) {
  if (!code) {
    if (!reason.empty()) return WriteError::kReasonWithoutCode;
    return std::nullopt;
  }
  if (!close_code_valid(*code)) return WriteError::kInvalidCloseCode;
  if (!valid_utf8(reason)) return WriteError::kInvalidCloseReason;
  const char c[2] = {char(*code >> 8), char(*code)};
  out->append(c, 2);
  out->append(reason.substr(0, utf8_prefix(reason, kMaxCloseReason)));
  return std::nullopt;
}

}  // namespace quillet::ws
