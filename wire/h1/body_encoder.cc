#include "wire/h1/body_encoder.h"

#include <algorithm>
#include <cstring>

namespace quillet::h1 {

namespace {

constexpr std::string_view kNeverSent[] = {
    "authorization",
    "cache-control",
    "content-encoding",
    "content-length",
    "content-range",
    "content-type",
    "host",
    "max-forwards",
    "set-cookie",
    "te",
    "trailer",
    "transfer-encoding",
};

unsigned hex_digits(uint64_t value) {
  unsigned digits = 1;
  while (value >>= 4)
    ++digits;
  return digits;
}

char* put(char* out, std::string_view bytes) {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

}  // namespace

bool is_never_sent_trailer(std::string_view name) {
  return std::find(std::begin(kNeverSent), std::end(kNeverSent), name) != std::end(kNeverSent);
}

ChunkPlan plan_chunk(BodyFraming& framing, uint64_t chunk_size) {
  // An empty chunk is never framed: "0" CR LF CR LF would end a chunked body.
  if (chunk_size == 0) return ChunkPlan{ChunkPlan::Kind::kWhole, 0};
  switch (framing.kind) {
    case BodyFraming::Kind::kLength:
      if (chunk_size <= framing.length) {
        framing.length -= chunk_size;
        return ChunkPlan{ChunkPlan::Kind::kWhole, chunk_size};
      } else {
        const uint64_t prefix = framing.length;
        framing.length = 0;
        return ChunkPlan{ChunkPlan::Kind::kPrefix, prefix};
      }
    case BodyFraming::Kind::kChunked:
      return ChunkPlan{ChunkPlan::Kind::kFramed, chunk_frame_size(chunk_size)};
    case BodyFraming::Kind::kClose:
      break;
  }
  return ChunkPlan{ChunkPlan::Kind::kWhole, chunk_size};
}

uint64_t chunk_frame_size(uint64_t data_size) {
  return hex_digits(data_size) + 4 + data_size;
}

char* write_chunk_frame(std::string_view chunk, char* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const uint64_t size = chunk.size();
  const unsigned digits = hex_digits(size);
  for (unsigned k = 0; k < digits; ++k) {
    out[digits - 1 - k] = kHex[(size >> (4 * k)) & 0xF];
  }
  out = put(out + digits, "\r\n");
  out = put(out, chunk);
  return put(out, "\r\n");
}

uint64_t BodyEnd::size() const {
  switch (kind) {
    case Kind::kNothing:
      return 0;
    case Kind::kTerminator:
      return kChunkedTerminator.size();
    case Kind::kTrailers:
      break;
  }
  uint64_t total = 5;  // "0\r\n" and the closing "\r\n"
  for (const auto& [name, value] : fields)
    total += uint64_t(name.size()) + 4 + value.size();
  return total;
}

char* BodyEnd::write(char* out) const {
  switch (kind) {
    case Kind::kNothing:
      return out;
    case Kind::kTerminator:
      return put(out, kChunkedTerminator);
    case Kind::kTrailers:
      break;
  }
  out = put(out, "0\r\n");
  for (const auto& [name, value] : fields) {
    out = put(out, name);
    out = put(out, ": ");
    out = put(out, value);
    out = put(out, "\r\n");
  }
  return put(out, "\r\n");
}

std::optional<Error> plan_end(const BodyFraming* framing, BodyEnd* end) {
  end->kind = BodyEnd::Kind::kNothing;
  end->fields.clear();
  if (framing == nullptr) return std::nullopt;
  switch (framing->kind) {
    case BodyFraming::Kind::kLength:
      if (framing->length == 0) return std::nullopt;
      return Error::user_error(
          UserKind::kBodyWriteAborted,
          Cause{std::nullopt,
                "early end, expected " + std::to_string(framing->length) + " more bytes"});
    case BodyFraming::Kind::kChunked:
      end->kind = BodyEnd::Kind::kTerminator;
      return std::nullopt;
    case BodyFraming::Kind::kClose:
      break;
  }
  return std::nullopt;
}

std::optional<Error> plan_trailers(const BodyFraming* framing, bool trailers_permitted,
                                   const HeaderMap& trailers, BodyEnd* end) {
  if (framing == nullptr || !trailers_permitted || framing->kind != BodyFraming::Kind::kChunked ||
      !framing->has_allow_list) {
    return plan_end(framing, end);
  }
  end->fields.clear();
  const std::vector<std::string>& allowed = framing->trailer_names;
  trailers.for_each([&](std::string_view name, std::string_view value) {
    if (is_never_sent_trailer(name)) return;
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) return;
    end->fields.emplace_back(name, value);
  });
  end->kind = end->fields.empty() ? BodyEnd::Kind::kTerminator : BodyEnd::Kind::kTrailers;
  return std::nullopt;
}

std::string frame_chunk(BodyFraming& framing, std::string_view chunk) {
  if (chunk.empty()) return std::string();
  const ChunkPlan plan = plan_chunk(framing, chunk.size());
  switch (plan.kind) {
    case ChunkPlan::Kind::kWhole:
      return std::string(chunk);
    case ChunkPlan::Kind::kPrefix:
      return std::string(chunk.substr(0, size_t(plan.size)));
    case ChunkPlan::Kind::kFramed:
      break;
  }
  std::string out(size_t(plan.size), '\0');
  write_chunk_frame(chunk, out.data());
  return out;
}

std::string end_bytes(const BodyEnd& end) {
  std::string out(size_t(end.size()), '\0');
  end.write(out.data());
  return out;
}

}  // namespace quillet::h1
