// The HTTP/1 body encoder: frames the body of an encoded message according to its BodyFraming.
//
// Every function splits into a plan, decided under the codec's lock and changing the framing,
// and a writer that fills a caller-sized buffer afterwards. So the boundary can hand back the
// caller's own object where framing leaves a chunk unchanged, and build every other result as
// one exact-size object written once.
#pragma once

#include "wire/common/header_map.h"
#include "wire/h1/error.h"
#include "wire/h1/head_encoder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::h1 {

inline constexpr std::string_view kChunkedTerminator = "0\r\n\r\n";

// What framing one chunk of body data gives.
struct ChunkPlan {
  enum class Kind : uint8_t {
    kWhole,   // the chunk itself, unchanged
    kPrefix,  // the first `size` bytes of the chunk (0: nothing)
    kFramed,  // a chunked frame of `size` bytes: write_chunk_frame
  };
  Kind kind = Kind::kWhole;
  uint64_t size = 0;
};

// Frames a chunk of `chunk_size` bytes (an empty chunk is passed whole) and counts it against a
// declared length: a length framing passes it whole while it fits and truncates it to what remains
// (then nothing); close-delimited passes it whole; chunked frames it.
ChunkPlan plan_chunk(BodyFraming& framing, uint64_t chunk_size);

// The size of the chunked frame of `data_size` bytes: upper-case hex size, CR LF, data, CR LF.
uint64_t chunk_frame_size(uint64_t data_size);
// Writes the frame of `chunk` to `out` (chunk_frame_size(chunk.size()) bytes); returns its end.
char* write_chunk_frame(std::string_view chunk, char* out);

// How a body ends.
struct BodyEnd {
  enum class Kind : uint8_t {
    kNothing,     // no bytes
    kTerminator,  // kChunkedTerminator
    kTrailers,    // "0" CR LF, one line per selected field, CR LF
  };
  Kind kind = Kind::kNothing;
  // kTrailers: lower-case name and value of every selected field, in map order; views into the
  // trailer map passed to plan_trailers.
  std::vector<std::pair<std::string_view, std::string_view>> fields;

  uint64_t size() const;
  // Writes the size() bytes of the end to `out`; returns its end.
  char* write(char* out) const;
};

// The end of a body with no trailer fields. `framing` is the taken encoder (nullptr: none).
// A length framing with N > 0 bytes still owed fails with the user error body_write_aborted,
// caused by "early end, expected N more bytes".
std::optional<Error> plan_end(const BodyFraming* framing, BodyEnd* end);

// The end of a body with trailer fields: the fields are sent only when `trailers_permitted`,
// the framing is chunked with an allow-list, and a field is named in the allow-list and is not
// one of the fields never sent as trailers. Otherwise as plan_end.
std::optional<Error> plan_trailers(const BodyFraming* framing, bool trailers_permitted,
                                   const HeaderMap& trailers, BodyEnd* end);

// True for the fields never sent as trailers (`name` in lower case).
bool is_never_sent_trailer(std::string_view name);

// The convenience forms, each result built in one string.
std::string frame_chunk(BodyFraming& framing, std::string_view chunk);
std::string end_bytes(const BodyEnd& end);

}  // namespace quillet::h1
