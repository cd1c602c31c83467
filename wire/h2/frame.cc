#include "wire/h2/frame.h"

#include "wire/h2/error.h"
#include "wire/h2/preface.h"

#include <algorithm>
#include <utility>

namespace quillet::h2 {
namespace {

uint32_t read_u32(std::string_view p) {
  return uint32_t(uint8_t(p[0])) << 24 | uint32_t(uint8_t(p[1])) << 16 |
         uint32_t(uint8_t(p[2])) << 8 | uint32_t(uint8_t(p[3]));
}

void put_u32(uint32_t v, std::string* out) {
  const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  out->append(bytes, 4);
}

void put_header(size_t length, FrameType type, uint8_t flags, uint32_t stream_id,
                std::string* out) {
  const char bytes[5] = {char(length >> 16), char(length >> 8), char(length), char(type),
                         char(flags)};
  out->append(bytes, 5);
  put_u32(stream_id & kMaxStreamId, out);
}

FrameError load_error(LoadError e) {
  return FrameError{FrameErrorKind::kLoad, e, {}};
}
FrameError error_of(FrameErrorKind kind) {
  return FrameError{kind, {}, {}};
}

// Bytes lent from the caller's input are theirs only for the call. When decoding stops by an
// exception (an allocation failure), they are dropped rather than kept as a view that would
// outlive its owner; the connection cannot go on after that failure anyway.
class DropLentOnUnwind {
 public:
  explicit DropLentOnUnwind(ByteBuffer& buffer) noexcept : buffer_(buffer) {}
  DropLentOnUnwind(const DropLentOnUnwind&) = delete;
  DropLentOnUnwind& operator=(const DropLentOnUnwind&) = delete;
  ~DropLentOnUnwind() {
    if (armed_ && buffer_.lending()) buffer_.clear();
  }
  void disarm() noexcept { armed_ = false; }

 private:
  ByteBuffer& buffer_;
  bool armed_ = true;
};

}  // namespace

uint32_t frame_error_reason(FrameErrorKind kind) noexcept {
  switch (kind) {
    case FrameErrorKind::kFrameTooLarge:
      return kFrameSizeError;
    case FrameErrorKind::kTooManyContinuations:
    case FrameErrorKind::kHeaderListAbuse:
      return kEnhanceYourCalm;
    case FrameErrorKind::kContinuationOverLimit:
      return kCompressionError;
    case FrameErrorKind::kBadPreface:
    case FrameErrorKind::kExpectedContinuation:
    case FrameErrorKind::kLoad:
    case FrameErrorKind::kPriorityStreamZero:
    case FrameErrorKind::kPushPromise:
    case FrameErrorKind::kUnexpectedContinuation:
    case FrameErrorKind::kContinuationStreamMismatch:
    case FrameErrorKind::kHpack:
      return kProtocolError;
  }
  return kProtocolError;
}

BlockFacts block_facts(const HeaderBlock& block) {
  BlockFacts facts;
  if (const auto& status = block.pseudo[hpack::PseudoHeader::kStatus]) {
    // The decoder admits only three digits.
    uint32_t n = 0;
    for (const char c : *status)
      n = n * 10 + uint32_t(c - '0');
    facts.status = n;
  }
  facts.shape = received_shape(block.pseudo, block.fields);
  facts.over_size = block.over_size;
  const std::optional<std::string_view> value = block.fields.first("content-length");
  if (!value) return facts;
  uint64_t n = 0;
  bool ok = value->size() <= 19;
  for (const char c : *value) {
    if (!ok) break;
    ok = c >= '0' && c <= '9';
    n = n * 10 + uint64_t(c - '0');
  }
  if (ok) {
    facts.content_length = n;
  } else {
    facts.content_length_invalid = true;
  }
  return facts;
}

PrefaceMatch match_preface(std::string_view data) noexcept {
  const size_t n = std::min(data.size(), kClientPreface.size());
  if (data.substr(0, n) != kClientPreface.substr(0, n)) return PrefaceMatch::kMismatch;
  return n < kClientPreface.size() ? PrefaceMatch::kIncomplete : PrefaceMatch::kComplete;
}

// The buffer keeps at most the preface's own bytes: once they differ, they stay different
// whatever follows, so a mismatched peer cannot make it grow.
PrefaceMatch FrameDecoder::match_more(std::string_view input) {
  const size_t take = std::min(input.size(), kClientPreface.size() - preface_.size());
  preface_.append(input.substr(0, take));
  const PrefaceMatch match = match_preface(preface_);
  if (match == PrefaceMatch::kComplete) {
    std::string().swap(preface_);
    read_.append(input.substr(take));
  }
  return match;
}

PrefaceMatch FrameDecoder::feed_preface(std::string_view input) {
  return match_more(input);
}

PrefaceMatch FrameDecoder::prime(std::string_view input) {
  if (preface_consumed_) {
    read_.append(input);
    return PrefaceMatch::kComplete;
  }
  const PrefaceMatch match = match_more(input);
  if (match == PrefaceMatch::kComplete) preface_consumed_ = true;
  return match;
}

void FrameDecoder::set_max_frame_size(uint32_t size) noexcept {
  max_frame_size_ = size;
  recompute_continuation_cap();
}

void FrameDecoder::set_max_header_list_size(uint32_t size) noexcept {
  max_header_list_size_ = size;
  recompute_continuation_cap();
}

void FrameDecoder::recompute_continuation_cap() noexcept {
  const uint32_t m = std::max<uint32_t>(1, max_header_list_size_ / max_frame_size_);
  const uint32_t quarter = m / 4;
  const uint32_t n = m > UINT32_MAX - quarter ? UINT32_MAX : m + quarter;
  max_continuation_frames_ = std::max<uint32_t>(5, n);
}

std::optional<FrameError> FrameDecoder::decode(std::string_view input, DecodeBatch* out) {
  out->events.clear();
  out->storage.clear();
  out->base = {};
  if (!preface_consumed_) {
    switch (match_more(input)) {
      case PrefaceMatch::kMismatch:
        return error_of(FrameErrorKind::kBadPreface);
      case PrefaceMatch::kIncomplete:
        return std::nullopt;
      case PrefaceMatch::kComplete:
        preface_consumed_ = true;
        break;
    }
  } else if (read_.empty()) {
    read_.lend(input);  // the common case: frames are read in place from the caller's bytes
  } else {
    read_.append(input);
  }

  DropLentOnUnwind unwind(read_);
  const std::string_view all = read_.view();
  size_t pos = 0;
  std::optional<FrameError> error;
  while (all.size() - pos >= kFrameHeaderSize) {
    const std::string_view header = all.substr(pos, kFrameHeaderSize);
    const uint32_t length = uint32_t(uint8_t(header[0])) << 16 | uint32_t(uint8_t(header[1])) << 8 |
                            uint32_t(uint8_t(header[2]));
    if (length > max_frame_size_) {
      error = error_of(FrameErrorKind::kFrameTooLarge);
      break;
    }
    if (all.size() - pos - kFrameHeaderSize < length) break;
    const uint8_t type = uint8_t(header[3]);
    const uint8_t flags = uint8_t(header[4]);
    const uint32_t stream_id = read_u32(header.substr(5)) & kMaxStreamId;
    const size_t payload_offset = pos + kFrameHeaderSize;
    pos = payload_offset + length;
    error = decode_frame(type, flags, stream_id, all.substr(payload_offset, length), payload_offset,
                         &out->events);
    if (error) break;
  }

  if (error) out->events.clear();
  if (read_.lending()) {
    out->base = all;
    read_.consume(pos);
    read_.keep_lent();
    unwind.disarm();
  } else if (error || out->events.empty()) {
    read_.consume(pos);
  } else {
    // The events view the buffer's bytes: move them out with the batch, and keep only the tail.
    out->storage = read_.take();
    out->base = out->storage;
    read_.append(std::string_view(out->storage).substr(pos));
  }
  return error;
}

std::optional<FrameError> FrameDecoder::decode_frame(uint8_t type, uint8_t flags,
                                                     uint32_t stream_id, std::string_view payload,
                                                     size_t payload_offset,
                                                     std::vector<FrameEvent>* events) {
  if (pending_ && type != uint8_t(FrameType::kContinuation))
    return error_of(FrameErrorKind::kExpectedContinuation);
  if (type >= kFrameTypeCount) return std::nullopt;  // unknown types are skipped

  FrameEvent e;
  e.stream_id = stream_id;
  switch (FrameType(type)) {
    case FrameType::kData: {
      if (stream_id == 0) return load_error(LoadError::kInvalidStreamId);
      size_t start = 0;
      size_t end = payload.size();
      if (flags & kFlagPadded) {
        if (payload.empty()) return load_error(LoadError::kTooMuchPadding);
        const size_t pad = uint8_t(payload[0]);
        if (pad >= payload.size()) return load_error(LoadError::kTooMuchPadding);
        start = 1;
        end -= pad;
      }
      e.kind = FrameEventKind::kData;
      e.flag = flags & kFlagEndStream;
      e.bytes_offset = payload_offset + start;
      e.bytes_size = end - start;
      e.length = uint32_t(payload.size());
      e.padding = uint32_t(payload.size() - e.bytes_size);
      break;
    }
    case FrameType::kHeaders:
      return decode_headers(flags, stream_id, payload, events);
    case FrameType::kPriority:
      if (stream_id == 0) return error_of(FrameErrorKind::kPriorityStreamZero);
      if (payload.size() != 5) return load_error(LoadError::kInvalidPayloadLength);
      e.kind = (read_u32(payload) & kMaxStreamId) == stream_id ? FrameEventKind::kStreamError
                                                               : FrameEventKind::kPriority;
      e.code = kProtocolError;
      break;
    case FrameType::kRstStream:
      if (payload.size() != 4) return load_error(LoadError::kInvalidPayloadLength);
      e.kind = FrameEventKind::kRstStream;
      e.code = read_u32(payload);
      break;
    case FrameType::kSettings: {
      if (stream_id != 0) return load_error(LoadError::kInvalidStreamId);
      e.kind = FrameEventKind::kSettings;
      if (flags & kFlagAck) {
        if (!payload.empty()) return load_error(LoadError::kInvalidPayloadLength);
        e.flag = true;
        break;
      }
      if (payload.size() % 6 != 0) return load_error(LoadError::kInvalidPayloadAckSettings);
      Settings& s = e.settings;
      for (size_t i = 0; i < payload.size(); i += 6) {
        const uint16_t id = uint16_t(uint8_t(payload[i]) << 8 | uint8_t(payload[i + 1]));
        const uint32_t value = read_u32(payload.substr(i + 2));
        switch (id) {
          case 1:
            s.header_table_size = value;
            break;
          case 2:
            if (value > 1) return load_error(LoadError::kInvalidSettingValue);
            s.enable_push = value == 1;
            break;
          case 3:
            s.max_concurrent_streams = value;
            break;
          case 4:
            if (value > kMaxWindowSize) return load_error(LoadError::kInvalidSettingValue);
            s.initial_window_size = value;
            break;
          case 5:
            if (!valid_max_frame_size(value)) return load_error(LoadError::kInvalidSettingValue);
            s.max_frame_size = value;
            break;
          case 6:
            s.max_header_list_size = value;
            break;
          case 8:  // ENABLE_CONNECT_PROTOCOL (RFC 8441 section 3)
            if (value > 1) return load_error(LoadError::kInvalidSettingValue);
            s.enable_connect_protocol = value == 1;
            break;
          default:  // unknown identifiers are ignored
            break;
        }
      }
      break;
    }
    case FrameType::kPushPromise:
      return error_of(FrameErrorKind::kPushPromise);
    case FrameType::kPing:
      if (stream_id != 0) return load_error(LoadError::kInvalidStreamId);
      if (payload.size() != 8) return load_error(LoadError::kBadFrameSize);
      e.kind = FrameEventKind::kPing;
      e.flag = flags & kFlagAck;
      std::copy(payload.begin(), payload.end(), e.ping.begin());
      break;
    case FrameType::kGoAway:
      if (payload.size() < 8) return load_error(LoadError::kBadFrameSize);
      e.kind = FrameEventKind::kGoAway;
      e.stream_id = read_u32(payload) & kMaxStreamId;
      e.code = read_u32(payload.substr(4));
      e.bytes_offset = payload_offset + 8;
      e.bytes_size = payload.size() - 8;
      break;
    case FrameType::kWindowUpdate:
      if (payload.size() != 4) return load_error(LoadError::kBadFrameSize);
      e.kind = FrameEventKind::kWindowUpdate;
      e.code = read_u32(payload) & kMaxWindowSize;
      if (e.code == 0) return load_error(LoadError::kInvalidWindowUpdateValue);
      break;
    case FrameType::kContinuation:
      return decode_continuation(flags, stream_id, payload, events);
  }
  events->push_back(std::move(e));
  return std::nullopt;
}

std::optional<FrameError> FrameDecoder::decode_headers(uint8_t flags, uint32_t stream_id,
                                                       std::string_view payload,
                                                       std::vector<FrameEvent>* events) {
  if (stream_id == 0) return load_error(LoadError::kInvalidStreamId);
  size_t pad = 0;
  if (flags & kFlagPadded) {
    if (payload.empty()) return load_error(LoadError::kMalformedMessage);
    pad = uint8_t(payload[0]);
    payload.remove_prefix(1);
  }
  bool self_dependent = false;
  if (flags & kFlagPriority) {
    if (payload.size() < 5) return load_error(LoadError::kMalformedMessage);
    self_dependent = (read_u32(payload) & kMaxStreamId) == stream_id;
    payload.remove_prefix(5);
  }
  if (pad > payload.size()) return load_error(LoadError::kTooMuchPadding);
  payload.remove_suffix(pad);

  // A self-dependent stream is refused, but only after its block is decoded: the block's
  // fields still change the dynamic table the peer's encoder mirrors (RFC 9113 section 4.3).
  list_.clear();
  pending_.emplace();
  pending_->stream_id = stream_id;
  pending_->end_stream = flags & kFlagEndStream;
  pending_->stream_error = self_dependent;
  return decode_fragment(payload, flags & kFlagEndHeaders, events);
}

std::optional<FrameError> FrameDecoder::decode_continuation(uint8_t flags, uint32_t stream_id,
                                                            std::string_view payload,
                                                            std::vector<FrameEvent>* events) {
  if (!pending_) return error_of(FrameErrorKind::kUnexpectedContinuation);
  Pending& p = *pending_;
  if (stream_id != p.stream_id) return error_of(FrameErrorKind::kContinuationStreamMismatch);
  const bool final = flags & kFlagEndHeaders;
  if (final) {
    p.continuations = 0;
  } else if (++p.continuations > max_continuation_frames_) {
    return error_of(FrameErrorKind::kTooManyContinuations);
  }
  if (p.remainder.empty()) return decode_fragment(payload, final, events);
  if (list_.over_size() &&
      uint64_t(p.remainder.size()) + kFrameHeaderSize + payload.size() > max_header_list_size_)
    return error_of(FrameErrorKind::kContinuationOverLimit);
  p.remainder.append(payload);
  std::string fragment = std::move(p.remainder);
  p.remainder.clear();
  return decode_fragment(fragment, final, events);
}

std::optional<FrameError> FrameDecoder::decode_fragment(std::string_view fragment, bool final,
                                                        std::vector<FrameEvent>* events) {
  const hpack::DecodeResult r = hpack_.decode(fragment, max_header_list_size_, &list_);
  switch (r.status) {
    case hpack::DecodeStatus::kComplete:
    case hpack::DecodeStatus::kMalformed:
      break;
    case hpack::DecodeStatus::kAbuse:
      pending_.reset();
      return error_of(FrameErrorKind::kHeaderListAbuse);
    case hpack::DecodeStatus::kFailed:
      if (final || !hpack::is_need_more(r.error)) {
        pending_.reset();
        return FrameError{FrameErrorKind::kHpack, {}, r.error};
      }
      pending_->remainder.assign(fragment.substr(r.consumed));
      break;
  }
  if (!final) return std::nullopt;

  // A malformed block is a stream error, found only once the whole block is decoded: until
  // then its CONTINUATION frames belong to it, and its fields keep the table in step.
  FrameEvent e;
  e.stream_id = pending_->stream_id;
  e.flag = pending_->end_stream;
  if (pending_->stream_error || list_.malformed()) {
    e.kind = FrameEventKind::kStreamError;
    e.code = kProtocolError;
  } else {
    e.kind = FrameEventKind::kHeaders;
    e.block = std::make_unique<HeaderBlock>();
    e.block->pseudo = list_.pseudo();
    e.block->fields = std::move(list_.fields());
    e.block->over_size = list_.over_size();
  }
  pending_.reset();
  list_.clear();
  events->push_back(std::move(e));
  return std::nullopt;
}

std::optional<WriteError> write_data(uint32_t stream_id, std::string_view data, bool end_stream,
                                     uint32_t max_frame_size, std::string* out) {
  if (stream_id == 0) return WriteError::kStreamIdZero;
  if (stream_id > kMaxStreamId) return WriteError::kStreamIdTooLarge;
  if (data.size() > max_frame_size) return WriteError::kPayloadTooBig;
  put_header(data.size(), FrameType::kData, end_stream ? kFlagEndStream : 0, stream_id, out);
  out->append(data);
  return std::nullopt;
}

std::optional<WriteError> write_headers(uint32_t stream_id, std::string_view block, bool end_stream,
                                        uint32_t max_frame_size, std::string* out) {
  if (stream_id == 0) return WriteError::kStreamIdZero;
  if (stream_id > kMaxStreamId) return WriteError::kStreamIdTooLarge;
  const size_t frames = block.empty() ? 1 : (block.size() + max_frame_size - 1) / max_frame_size;
  out->reserve(out->size() + block.size() + frames * kFrameHeaderSize);
  size_t first = std::min<size_t>(block.size(), max_frame_size);
  uint8_t flags = end_stream ? kFlagEndStream : 0;
  if (first == block.size()) flags |= kFlagEndHeaders;
  put_header(first, FrameType::kHeaders, flags, stream_id, out);
  out->append(block.substr(0, first));
  for (size_t pos = first; pos < block.size();) {
    const size_t n = std::min<size_t>(block.size() - pos, max_frame_size);
    put_header(n, FrameType::kContinuation, pos + n == block.size() ? kFlagEndHeaders : 0,
               stream_id, out);
    out->append(block.substr(pos, n));
    pos += n;
  }
  return std::nullopt;
}

std::optional<WriteError> write_rst_stream(uint32_t stream_id, uint32_t error_code,
                                           std::string* out) {
  if (stream_id == 0) return WriteError::kStreamIdZero;
  if (stream_id > kMaxStreamId) return WriteError::kStreamIdTooLarge;
  put_header(4, FrameType::kRstStream, 0, stream_id, out);
  put_u32(error_code, out);
  return std::nullopt;
}

std::optional<WriteError> write_settings(const Settings& s, std::string* out) {
  if (s.max_frame_size && !valid_max_frame_size(*s.max_frame_size))
    return WriteError::kSettingsMaxFrameSize;
  if (s.initial_window_size && *s.initial_window_size > kMaxWindowSize)
    return WriteError::kSettingsInitialWindow;
  const auto flag = [](std::optional<bool> on) {
    return on ? std::optional<uint32_t>(*on ? 1 : 0) : std::nullopt;
  };
  // (identifier, value), in identifier order.
  const std::pair<uint8_t, std::optional<uint32_t>> entries[] = {
      {1, s.header_table_size},
      {2, flag(s.enable_push)},
      {3, s.max_concurrent_streams},
      {4, s.initial_window_size},
      {5, s.max_frame_size},
      {6, s.max_header_list_size},
      {8, flag(s.enable_connect_protocol)},
  };
  size_t count = 0;
  for (const auto& entry : entries)
    count += entry.second.has_value();
  put_header(6 * count, FrameType::kSettings, 0, 0, out);
  for (const auto& [identifier, value] : entries) {
    if (!value) continue;
    const char id[2] = {0, char(identifier)};
    out->append(id, 2);
    put_u32(*value, out);
  }
  return std::nullopt;
}

void write_settings_ack(std::string* out) {
  put_header(0, FrameType::kSettings, kFlagAck, 0, out);
}

std::optional<WriteError> write_ping(std::string_view payload, bool ack, std::string* out) {
  if (payload.size() != 8) return WriteError::kPingPayloadSize;
  put_header(8, FrameType::kPing, ack ? kFlagAck : 0, 0, out);
  out->append(payload);
  return std::nullopt;
}

std::optional<WriteError> write_goaway(uint32_t last_stream_id, uint32_t error_code,
                                       std::string_view debug_data, std::string* out) {
  if (last_stream_id > kMaxStreamId) return WriteError::kLastStreamIdTooLarge;
  if (debug_data.size() > kMaxMaxFrameSize - 8) return WriteError::kDebugDataTooLong;
  put_header(8 + debug_data.size(), FrameType::kGoAway, 0, 0, out);
  put_u32(last_stream_id, out);
  put_u32(error_code, out);
  out->append(debug_data);
  return std::nullopt;
}

std::optional<WriteError> write_window_update(uint32_t stream_id, uint32_t increment,
                                              std::string* out) {
  if (stream_id > kMaxStreamId) return WriteError::kStreamIdTooLarge;
  if (increment == 0 || increment > kMaxWindowSize) return WriteError::kWindowIncrement;
  put_header(4, FrameType::kWindowUpdate, 0, stream_id, out);
  put_u32(increment, out);
  return std::nullopt;
}

}  // namespace quillet::h2
