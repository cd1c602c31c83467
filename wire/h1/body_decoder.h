// The HTTP/1 body decoder: the received bytes of one message body turned into body data, for a
// declared length, the chunked transfer coding (extensions skipped, trailer fields parsed) and a
// body delimited by the connection closing. Sans-IO: bytes go in with feed, the end of the
// transport is signalled with mark_eof, and data comes out of decode. Bytes past the end of the
// body stay in the input buffer for the next message.
#pragma once

#include "wire/common/byte_buffer.h"
#include "wire/common/header_map.h"
#include "wire/h1/error.h"
#include "wire/h1/head.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::h1 {

// Limits of the chunked decoder.
inline constexpr uint64_t kMaxChunkExtensionBytes = 16383;  // in the whole body
inline constexpr size_t kMaxTrailerBytes = 16384;           // the buffer stays below this
inline constexpr size_t kMaxTrailerLines = 100;
inline constexpr size_t kMaxCloseDelimitedResult = 8192;

enum class DecodeStatus : uint8_t {
  kData,      // `data` holds body bytes; consume() them once copied
  kNeedMore,  // feed more bytes (or mark_eof)
  kComplete,  // the body has ended
  kError,     // `error` says why
};

// One step of decoding. `data` is a view into the decoder's input buffer, valid until the next
// call of a non-const method; decode() reports the same bytes again (or more of them, after a
// feed) until they are consumed. This lets the caller size its output object, fill it with one
// copy and then consume exactly what it took, without holding the decoder's lock while it
// allocates.
struct DecodeResult {
  DecodeStatus status = DecodeStatus::kNeedMore;
  std::string_view data;
  std::optional<Error> error;
};

class BodyDecoder {
 public:
  // kLength expects `length` bytes (complete at once for 0); kEmpty is complete at once;
  // `length` is ignored otherwise.
  explicit BodyDecoder(BodyKind framing, uint64_t length = 0);
  // From a head's body kind name: "length", "chunked", "close"; any other name is empty.
  static BodyDecoder from_kind(std::string_view kind, uint64_t length = 0);

  void feed(std::string_view bytes);
  // Feeds bytes whose storage the decoder may take over (no copy when its buffer is empty).
  void feed_owned(std::string&& bytes);
  // Feeds bytes that the decoder may read in place while its buffer was empty: the caller keeps
  // them alive and unchanged while `lending()`, or calls `keep_lent()` first.
  void feed_lent(std::string_view bytes) { input_.lend(bytes); }
  bool lending() const { return input_.lending(); }
  void keep_lent() { input_.keep_lent(); }
  void mark_eof();

  // Runs the framing until body data is available, the body ends, more input is needed or the
  // framing fails. Chunk data is reported as it arrives, never joined across two chunks;
  // close-delimited data at most kMaxCloseDelimitedResult bytes at a time. A failure is sticky.
  DecodeResult decode();
  // Takes the first `n` bytes of the data decode() reports (a larger `n` takes only what the
  // body or the current chunk has left; outside chunk data it does nothing).
  void consume(size_t n);

  // decode() followed by consume() of everything reported, with the bytes copied out: kData
  // results append to `out`.
  DecodeResult decode_into(std::string* out);

  bool is_complete() const { return complete_; }
  // Bytes fed and not yet decoded; once complete, the bytes of the next message.
  size_t buffered() const { return input_.size(); }
  // Moves the bytes past the end of the body out.
  std::string take_buffered() { return input_.take(); }
  // The trailer fields of a chunked body that has ended, once.
  std::optional<HeaderMap> take_trailers();

 private:
  enum class State : uint8_t {
    kStart,
    kSize,
    kSizeLws,
    kExtension,
    kSizeLf,
    kBody,
    kBodyCr,
    kBodyLf,
    kTrailer,
    kTrailerLf,
    kEndCr,
    kEndLf,
    kEnd,
  };

  DecodeResult step_length();
  DecodeResult step_close();
  DecodeResult step_chunked();
  // One byte of the chunked state machine; an error, or nothing to go on.
  std::optional<Error> chunked_byte(char c);
  std::optional<Error> append_trailer(char c);
  std::optional<Error> finish_trailers();
  DecodeResult fail(Error error);

  BodyKind framing_;
  ByteBuffer input_;
  bool eof_ = false;
  bool complete_ = false;
  std::optional<Error> failed_;
  uint64_t remaining_ = 0;  // kLength: bytes still expected; kChunked: chunk size / data left

  State state_ = State::kStart;
  uint64_t extension_bytes_ = 0;
  std::optional<std::string> trailer_buffer_;
  size_t trailer_lines_ = 0;
  std::optional<HeaderMap> trailers_;
};

}  // namespace quillet::h1
