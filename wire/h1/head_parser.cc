#include "wire/h1/head_parser.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"
#include "wire/common/uri.h"
#include "wire/h1/tokens.h"

#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUILLET_SCAN_AVX2 1
#endif

namespace quillet::h1 {

// ---------------------------------------------------------------------------------------------
// Scanners

size_t scan_field_value_bytewise(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (!chars::field_value(data[i])) return i;
  }
  return size;
}

size_t scan_target_bytewise(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (!chars::target(data[i])) return i;
  }
  return size;
}

namespace {

// A byte that ends a run: below `floor` (unsigned) or DEL, except HTAB when `kAllowTab`. The
// wide scanners find the first such byte 16 or 32 at a time and leave the last few bytes of the
// buffer to the next narrower one.
struct Wide {
  size_t pos;  // the stop, or where the whole blocks ended
  bool found;
};

#if defined(__SSE2__)

template <bool kAllowTab>
Wide scan_sse2(const char* data, size_t size, char floor) {
  const __m128i floor_minus_one = _mm_set1_epi8(char(floor - 1));
  const __m128i del = _mm_set1_epi8(0x7F);
  const __m128i tab = _mm_set1_epi8('\t');
  size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(block, floor_minus_one), block);
    __m128i stop = _mm_or_si128(low, _mm_cmpeq_epi8(block, del));
    if (kAllowTab) stop = _mm_andnot_si128(_mm_cmpeq_epi8(block, tab), stop);
    const unsigned mask = unsigned(_mm_movemask_epi8(stop));
    if (mask != 0) return Wide{i + size_t(__builtin_ctz(mask)), true};
  }
  return Wide{i, false};
}

#endif

#if defined(QUILLET_SCAN_AVX2)

template <bool kAllowTab>
__attribute__((target("avx2"))) Wide scan_avx2(const char* data, size_t size, char floor) {
  const __m256i floor_minus_one = _mm256_set1_epi8(char(floor - 1));
  const __m256i del = _mm256_set1_epi8(0x7F);
  const __m256i tab = _mm256_set1_epi8('\t');
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(block, floor_minus_one), block);
    __m256i stop = _mm256_or_si256(low, _mm256_cmpeq_epi8(block, del));
    if (kAllowTab) stop = _mm256_andnot_si256(_mm256_cmpeq_epi8(block, tab), stop);
    const unsigned mask = unsigned(_mm256_movemask_epi8(stop));
    if (mask != 0) return Wide{i + size_t(__builtin_ctz(mask)), true};
  }
  return Wide{i, false};
}

bool detect_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
const bool g_has_avx2 = detect_avx2();

#endif

ScanWidth widest();

// From `width` down: each narrower scan goes on where the wider one ran out of whole blocks,
// and the tables finish the last bytes.
template <bool kAllowTab>
size_t scan(ScanWidth width, const char* data, size_t size, [[maybe_unused]] char floor,
            size_t (*bytewise)(const char*, size_t)) {
  if (int(width) > int(widest())) width = widest();
  size_t i = 0;
  switch (width) {
    case ScanWidth::kAvx2:
#if defined(QUILLET_SCAN_AVX2)
      if (const Wide w = scan_avx2<kAllowTab>(data, size, floor); w.found) {
        return w.pos;
      } else {
        i = w.pos;
      }
#endif
      [[fallthrough]];
    case ScanWidth::kSse2:
#if defined(__SSE2__)
      if (const Wide w = scan_sse2<kAllowTab>(data + i, size - i, floor); w.found) {
        return i + w.pos;
      } else {
        i += w.pos;
      }
#endif
      [[fallthrough]];
    case ScanWidth::kBytewise:
      break;
  }
  return i + bytewise(data + i, size - i);
}

ScanWidth widest() {
#if defined(QUILLET_SCAN_AVX2)
  if (g_has_avx2) return ScanWidth::kAvx2;
#endif
#if defined(__SSE2__)
  return ScanWidth::kSse2;
#else
  return ScanWidth::kBytewise;
#endif
}

}  // namespace

bool scan_width_available(ScanWidth width) {
  return int(width) <= int(widest());
}

size_t scan_field_value_with(ScanWidth width, const char* data, size_t size) {
  return scan<true>(width, data, size, 0x20, scan_field_value_bytewise);
}

size_t scan_target_with(ScanWidth width, const char* data, size_t size) {
  return scan<false>(width, data, size, 0x21, scan_target_bytewise);
}

size_t scan_field_value(const char* data, size_t size) {
  return scan_field_value_with(widest(), data, size);
}

size_t scan_target(const char* data, size_t size) {
  return scan_target_with(widest(), data, size);
}

// ---------------------------------------------------------------------------------------------
// Methods

namespace {

// The standard methods' texts, indexed by `Method`; checked complete at compile time so that
// every method the parser can name has a text.
constexpr std::string_view kMethodTexts[] = {
    "OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY",
};
static_assert(std::size(kMethodTexts) == size_t(Method::kExtension), "one text per method");

}  // namespace

Method method_from_token(std::string_view token) {
  for (size_t i = 0; i < std::size(kMethodTexts); ++i) {
    if (kMethodTexts[i] == token) return Method(i);
  }
  return Method::kExtension;
}

std::string_view method_text(Method method) {
  const size_t i = size_t(method);
  return i < std::size(kMethodTexts) ? kMethodTexts[i] : std::string_view();
}

// ---------------------------------------------------------------------------------------------
// The line grammar

namespace {

struct RawLine {
  const char* name;
  size_t name_size;
  const char* value;
  size_t value_size;

  std::string_view name_view() const { return {name, name_size}; }
  std::string_view value_view() const { return {value, value_size}; }
};

// The header lines of one head, at most `limit` of them: on the stack up to kStackHeaderSlots,
// past that in a heap array that grows with the lines actually received. A counting instance
// (`CountOnly`) keeps no lines, only their number: a resumed check starts after lines it cannot
// see again.
class LineSlots {
 public:
  struct CountOnly {
    size_t counted;  // lines already seen before the resume point
  };

  explicit LineSlots(size_t limit) : limit_(limit) {}
  LineSlots(size_t limit, CountOnly count) : limit_(limit), size_(count.counted), keep_(false) {}

  bool push(const RawLine& line) {
    if (size_ >= limit_) return false;
    if (keep_) {
      if (size_ < kStackHeaderSlots) {
        stack_[size_] = line;
      } else {
        heap_.push_back(line);
      }
    }
    ++size_;
    return true;
  }
  size_t size() const { return size_; }
  size_t limit() const { return limit_; }
  const RawLine& operator[](size_t k) const {
    return k < kStackHeaderSlots ? stack_[k] : heap_[k - kStackHeaderSlots];
  }

 private:
  size_t limit_;
  size_t size_ = 0;
  bool keep_ = true;
  RawLine stack_[kStackHeaderSlots];
  std::vector<RawLine> heap_;
};

enum class Step : uint8_t { kOk, kIncomplete, kError };

// The start line, as views into the buffer.
struct StartLine {
  Method method = Method::kGet;
  std::string_view method_token;  // the token as received (not set by the fast paths)
  std::string_view target;
  uint16_t status = 0;
  bool http10 = false;
};

// Walks the head grammar left to right from a HeadProgress. An attempt that runs out of bytes
// inside an element of a few bytes (the version, the status code, a line end) reads it again
// from its first byte next time; inside an element of any length (a method, a target, a reason
// phrase, a name, the whitespace after the colon, a value, a skipped line) it records where it
// stopped and the next attempt goes on from there. So the bytes of a head are walked about once
// however they are split into reads.
class Cursor {
 public:
  Cursor(std::string_view buffer, const HeadProgress& from)
      : p_(buffer.data()),
        n_(buffer.size()),
        i_(from.pos),
        start_(from.pos),
        mark_(from.mark),
        phase_(from.phase) {}

  size_t pos() const { return i_; }
  ParseKind error() const { return error_; }
  LineFault fault() const { return fault_; }

  HeadProgress progress(size_t lines) const { return HeadProgress{i_, mark_, lines, phase_}; }

  // The bytes walked by an attempt that ended with `step`: to the end of the buffer when it ran
  // out of bytes, else to where it stopped.
  size_t walked(Step step) const {
    const size_t stop = step == Step::kIncomplete ? n_ : i_;
    return stop > start_ ? stop - start_ : 0;
  }

  Step fail(ParseKind kind, LineFault fault = LineFault::kNone) {
    error_ = kind;
    fault_ = fault;
    return Step::kError;
  }

  // The start line of a request (`request`) or a response, then the header lines up to and
  // including the empty line that ends the head.
  Step head(bool request, StartLine* start, LineSlots& lines, bool ignore_invalid) {
    if (phase_ < HeadPhase::kLineStart) {
      const Step s = request ? request_line(start) : status_line(start);
      if (s != Step::kOk) return s;
    }
    return header_lines(lines, ignore_invalid);
  }

  // Header lines up to and including the empty line that ends the head; more lines than `lines`
  // takes are `too_large`.
  Step header_lines(LineSlots& lines, bool ignore_invalid) {
    while (true) {
      switch (phase_) {
        case HeadPhase::kLineStart: {
          if (i_ >= n_) return Step::kIncomplete;
          const char first = p_[i_];
          if (first == '\n' || first == '\r') return line_end(ParseKind::kHeaderToken);
          enter(HeadPhase::kName);
          [[fallthrough]];
        }
        case HeadPhase::kName: {
          while (n_ - i_ >= 4 && chars::token(p_[i_]) && chars::token(p_[i_ + 1]) &&
                 chars::token(p_[i_ + 2]) && chars::token(p_[i_ + 3])) {
            i_ += 4;
          }
          while (i_ < n_ && chars::token(p_[i_]))
            ++i_;
          const size_t name_size = i_ - mark_;
          if (name_size > kMaxHeaderNameLength) {
            return fail(ParseKind::kTooLarge, LineFault::kHeaderName);
          }
          if (i_ >= n_) return Step::kIncomplete;
          if (name_size == 0 || p_[i_] != ':') {
            if (!ignore_invalid) {
              return fail(ParseKind::kHeaderToken,
                          name_size == 0 ? LineFault::kHeaderName : LineFault::kToken);
            }
            enter(HeadPhase::kInvalidLine);
            continue;
          }
          name_ = mark_;
          name_size_ = name_size;
          ++i_;  // the colon
          enter(HeadPhase::kSpace);
          [[fallthrough]];
        }
        case HeadPhase::kSpace:
          while (i_ < n_ && (p_[i_] == ' ' || p_[i_] == '\t'))
            ++i_;
          if (i_ >= n_) return Step::kIncomplete;
          enter(HeadPhase::kValue);
          [[fallthrough]];
        case HeadPhase::kValue: {
          i_ += scan_field_value(p_ + i_, n_ - i_);
          if (i_ >= n_) return Step::kIncomplete;
          size_t value_end = i_;
          const bool crlf = p_[i_] == '\r' && i_ + 1 < n_ && p_[i_ + 1] == '\n';
          if (p_[i_] == '\r' && i_ + 1 >= n_) return Step::kIncomplete;
          if (p_[i_] != '\n' && !crlf) {
            if (!ignore_invalid) {
              return fail(ParseKind::kHeaderToken,
                          p_[i_] == '\r' ? LineFault::kNewLine : LineFault::kHeaderValue);
            }
            enter(HeadPhase::kInvalidLine);
            continue;
          }
          i_ += crlf ? 2 : 1;
          while (value_end > mark_ && (p_[value_end - 1] == ' ' || p_[value_end - 1] == '\t')) {
            --value_end;
          }
          // After a resume inside this line the name lies before the resume point; only a
          // counting LineSlots is used then, which reads neither view.
          if (!lines.push(RawLine{p_ + name_, name_size_, p_ + mark_, value_end - mark_})) {
            return fail(ParseKind::kTooLarge, LineFault::kTooManyHeaders);
          }
          enter(HeadPhase::kLineStart);
          continue;
        }
        case HeadPhase::kInvalidLine:
          if (Step s = skip_invalid_line(); s != Step::kOk) return s;
          enter(HeadPhase::kLineStart);
          continue;
        case HeadPhase::kStart:
        case HeadPhase::kMethod:
        case HeadPhase::kTarget:
        case HeadPhase::kVersion:
        case HeadPhase::kStatusLine:
        case HeadPhase::kReason:
          return fail(ParseKind::kInternal);  // still in the start line: not for this walk
      }
    }
  }

 private:
  // Starts the element `phase` at the current byte.
  void enter(HeadPhase phase) {
    phase_ = phase;
    mark_ = i_;
  }

  // Out of bytes inside a short element: the next attempt reads it again from its first byte.
  Step again() {
    i_ = mark_;
    return Step::kIncomplete;
  }

  static bool incomplete(Step s) { return s == Step::kIncomplete; }

  Step request_line(StartLine* line) {
    switch (phase_) {
      case HeadPhase::kStart:
        if (Step s = skip_empty_lines(); s != Step::kOk) return s;
        enter(HeadPhase::kMethod);
        [[fallthrough]];
      case HeadPhase::kMethod:
        if (Step s = method(line); s != Step::kOk) return s;
        [[fallthrough]];
      case HeadPhase::kTarget:
        if (Step s = target(line); s != Step::kOk) return s;
        [[fallthrough]];
      case HeadPhase::kVersion:
        if (Step s = version(&line->http10); s != Step::kOk) return incomplete(s) ? again() : s;
        if (Step s = line_end(ParseKind::kHeaderToken); s != Step::kOk) {
          return incomplete(s) ? again() : s;
        }
        enter(HeadPhase::kLineStart);
        return Step::kOk;
      case HeadPhase::kStatusLine:  // a response's phases
      case HeadPhase::kReason:
      case HeadPhase::kLineStart:  // past the start line: not this step's
      case HeadPhase::kName:
      case HeadPhase::kSpace:
      case HeadPhase::kValue:
      case HeadPhase::kInvalidLine:
        break;
    }
    return fail(ParseKind::kInternal);
  }

  Step status_line(StartLine* line) {
    switch (phase_) {
      case HeadPhase::kStart:
        if (Step s = skip_empty_lines(); s != Step::kOk) return s;
        enter(HeadPhase::kStatusLine);
        [[fallthrough]];
      case HeadPhase::kStatusLine:
        if (Step s = status_code(line); s != Step::kOk) return incomplete(s) ? again() : s;
        if (i_ >= n_) return again();
        if (p_[i_] != ' ') {  // no reason phrase
          if (Step s = line_end(ParseKind::kStatus); s != Step::kOk) {
            return incomplete(s) ? again() : s;
          }
          enter(HeadPhase::kLineStart);
          return Step::kOk;
        }
        ++i_;
        enter(HeadPhase::kReason);
        [[fallthrough]];
      case HeadPhase::kReason:
        i_ += scan_field_value(p_ + i_, n_ - i_);  // the reason phrase, discarded
        if (Step s = line_end(ParseKind::kStatus); s != Step::kOk) return s;
        enter(HeadPhase::kLineStart);
        return Step::kOk;
      case HeadPhase::kMethod:  // a request's phases
      case HeadPhase::kTarget:
      case HeadPhase::kVersion:
      case HeadPhase::kLineStart:  // past the start line: not this step's
      case HeadPhase::kName:
      case HeadPhase::kSpace:
      case HeadPhase::kValue:
      case HeadPhase::kInvalidLine:
        break;
    }
    return fail(ParseKind::kInternal);
  }

  // Skips empty lines (CR LF or LF) before a start line; a CR without LF is `header_token`.
  Step skip_empty_lines() {
    while (i_ < n_) {
      if (p_[i_] == '\n') {
        ++i_;
      } else if (p_[i_] == '\r') {
        if (i_ + 1 >= n_) return Step::kIncomplete;
        if (p_[i_ + 1] != '\n') return fail(ParseKind::kHeaderToken);
        i_ += 2;
      } else {
        return Step::kOk;
      }
    }
    return Step::kIncomplete;
  }

  // The method token and the SP after it, from `mark_`; the two commonest methods are matched
  // whole first.
  Step method(StartLine* line) {
    if (i_ == mark_) {
      const size_t avail = n_ - i_;
      if (avail >= 4 && std::memcmp(p_ + i_, "GET ", 4) == 0) {
        line->method = Method::kGet;
        i_ += 4;
        enter(HeadPhase::kTarget);
        return Step::kOk;
      }
      if (avail >= 5 && std::memcmp(p_ + i_, "POST ", 5) == 0) {
        line->method = Method::kPost;
        i_ += 5;
        enter(HeadPhase::kTarget);
        return Step::kOk;
      }
    }
    while (i_ < n_ && chars::token(p_[i_]))
      ++i_;
    if (i_ >= n_) return Step::kIncomplete;
    if (i_ == mark_ || p_[i_] != ' ') return fail(ParseKind::kMethod);
    line->method_token = std::string_view(p_ + mark_, i_ - mark_);
    line->method = method_from_token(line->method_token);
    ++i_;
    enter(HeadPhase::kTarget);
    return Step::kOk;
  }

  // The request-target and the SP after it, from `mark_`.
  Step target(StartLine* line) {
    i_ += scan_target(p_ + i_, n_ - i_);
    if (i_ >= n_) return Step::kIncomplete;
    if (i_ == mark_ || p_[i_] != ' ') return fail(ParseKind::kUri);
    line->target = std::string_view(p_ + mark_, i_ - mark_);
    if (!is_valid_utf8(line->target)) return fail(ParseKind::kUri);
    ++i_;
    enter(HeadPhase::kVersion);
    return Step::kOk;
  }

  // "HTTP/1.0" or "HTTP/1.1"; anything else is `version`. Moves only when complete.
  Step version(bool* http10) {
    static constexpr char kPrefix[] = "HTTP/1.";
    const size_t avail = n_ - i_;
    for (size_t k = 0; k < 7 && k < avail; ++k) {
      if (p_[i_ + k] != kPrefix[k]) return fail(ParseKind::kVersion);
    }
    if (avail < 8) return Step::kIncomplete;
    const char minor = p_[i_ + 7];
    if (minor != '0' && minor != '1') return fail(ParseKind::kVersion);
    *http10 = minor == '0';
    i_ += 8;
    return Step::kOk;
  }

  // The version, one SP and a three-digit code of at least 100.
  Step status_code(StartLine* line) {
    if (Step s = version(&line->http10); s != Step::kOk) return s;
    if (i_ >= n_) return Step::kIncomplete;
    if (p_[i_] != ' ') return fail(ParseKind::kVersion);
    ++i_;
    unsigned code = 0;
    for (int k = 0; k < 3; ++k, ++i_) {
      if (i_ >= n_) return Step::kIncomplete;
      if (p_[i_] < '0' || p_[i_] > '9') return fail(ParseKind::kStatus);
      code = code * 10 + unsigned(p_[i_] - '0');
    }
    if (code < 100) return fail(ParseKind::kStatus);
    line->status = uint16_t(code);
    return Step::kOk;
  }

  // A line end (CR LF or LF) right here; any other byte, or CR without LF, is `kind`. Moves
  // only when complete.
  Step line_end(ParseKind kind) {
    if (i_ >= n_) return Step::kIncomplete;
    if (p_[i_] == '\n') {
      ++i_;
      return Step::kOk;
    }
    if (p_[i_] != '\r') return fail(kind, LineFault::kNewLine);
    if (i_ + 1 >= n_) return Step::kIncomplete;
    if (p_[i_ + 1] != '\n') return fail(kind, LineFault::kNewLine);
    i_ += 2;
    return Step::kOk;
  }

  // Skips the rest of a malformed header line. A NUL byte or a CR without LF in it still fails.
  Step skip_invalid_line() {
    for (; i_ < n_; ++i_) {
      const char c = p_[i_];
      if (c == '\0') return fail(ParseKind::kHeaderToken);
      if (c == '\n') {
        ++i_;
        return Step::kOk;
      }
      if (c == '\r') {
        if (i_ + 1 >= n_) return Step::kIncomplete;
        if (p_[i_ + 1] != '\n') return fail(ParseKind::kHeaderToken);
        i_ += 2;
        return Step::kOk;
      }
    }
    return Step::kIncomplete;
  }

  const char* p_;
  size_t n_;
  size_t i_;
  size_t start_;  // where this attempt started
  size_t mark_;   // where the current element started
  HeadPhase phase_;
  size_t name_ = 0;  // the header name of the line being read, when read in this attempt
  size_t name_size_ = 0;
  ParseKind error_ = ParseKind::kInternal;
  LineFault fault_ = LineFault::kNone;
};

// One walk over a head's start line and header lines.
struct Walk {
  Step step;
  ParseKind error;  // for kError
  size_t end;       // for kOk: the head's length
  size_t scanned;   // ParseOutcome::scanned
};

// Walks the head at the front of `buffer` into `start` and `lines`. With a `progress` that is not
// fresh, a first walk goes on from it counting lines only; only when it finds the end of the head
// does a second walk go over the head from the buffer start to take the views the head is built
// from. An attempt that runs out of bytes records where in `progress`.
Walk walk_head(std::string_view buffer, bool request, bool ignore_invalid, HeadProgress* progress,
               StartLine* start, LineSlots& lines) {
  size_t scanned = 0;
  if (progress != nullptr && !progress->fresh()) {
    Cursor cursor(buffer, *progress);
    StartLine unused;
    LineSlots counted(lines.limit(), LineSlots::CountOnly{progress->lines});
    const Step step = cursor.head(request, &unused, counted, ignore_invalid);
    scanned = cursor.walked(step);
    if (step == Step::kIncomplete) *progress = cursor.progress(counted.size());
    if (step != Step::kOk) return Walk{step, cursor.error(), 0, scanned};
  }
  Cursor cursor(buffer, HeadProgress{});
  const Step step = cursor.head(request, start, lines, ignore_invalid);
  scanned += cursor.walked(step);
  if (step == Step::kIncomplete && progress != nullptr) *progress = cursor.progress(lines.size());
  return Walk{step, cursor.error(), cursor.pos(), scanned};
}

size_t line_bytes(const LineSlots& lines) {
  size_t bytes = 0;
  for (size_t k = 0; k < lines.size(); ++k)
    bytes += lines[k].name_size + lines[k].value_size;
  return bytes;
}

// Sizes the head's map for all its lines at once.
void reserve_for(const LineSlots& lines, HeaderMap* headers) {
  headers->reserve(lines.size(), line_bytes(lines));
}

// Where a head's fields go: its map, or its field list while the role rules allow. A list never
// holds more fields than a map could take, so filling one from it never fails.
class FieldSink {
 public:
  template <class Head>
  FieldSink(Head* head, const LineSlots& lines, bool as_list)
      : headers_(&head->headers),
        fields_(&head->fields),
        listed_(&head->fields_listed),
        listing_(as_list && lines.size() <= HeaderMap::kMaxNames) {
    if (listing_) {
      fields_->reserve(lines.size(), line_bytes(lines));
    } else {
      reserve_for(lines, headers_);
    }
  }

  [[nodiscard]] bool add(std::string_view name, std::string_view value) {
    if (!listing_) return headers_->append(name, value);
    fields_->add(name, value);
    return true;
  }

  // Removes every content-length field: the map's swap removal decides the order that follows,
  // so the fields move into the map first.
  void remove_content_length() {
    if (listing_) {
      if (!fields_->fill(headers_)) return;  // cannot fail: see the class comment
      fields_->clear();
      listing_ = false;
    }
    headers_->remove("content-length");
  }

  void finish() { *listed_ = listing_; }

 private:
  HeaderMap* headers_;
  FieldList* fields_;
  bool* listed_;
  bool listing_;
};

ParseOutcome outcome_of(const Walk& walk) {
  ParseOutcome out;
  out.status = walk.step == Step::kIncomplete ? ParseStatus::kIncomplete : ParseStatus::kError;
  out.error = walk.error;
  out.scanned = walk.scanned;
  return out;
}

// A head whose lines are well formed but that a role rule refuses.
ParseOutcome role_failure(ParseKind kind, const Walk& walk) {
  ParseOutcome out;
  out.status = ParseStatus::kError;
  out.error = kind;
  out.scanned = walk.scanned;
  return out;
}

// Names the role rules look at, by their lower-case spelling.
enum class Known : uint8_t {
  kOther,
  kTransferEncoding,
  kContentLength,
  kConnection,
  kExpect,
  kUpgrade,
  kTe,
  kHost,
};

Known classify(std::string_view name) {
  switch (name.size()) {
    case 2:
      return equals_ignore_case(name, "te") ? Known::kTe : Known::kOther;
    case 4:
      return equals_ignore_case(name, "host") ? Known::kHost : Known::kOther;
    case 6:
      return equals_ignore_case(name, "expect") ? Known::kExpect : Known::kOther;
    case 7:
      return equals_ignore_case(name, "upgrade") ? Known::kUpgrade : Known::kOther;
    case 10:
      return equals_ignore_case(name, "connection") ? Known::kConnection : Known::kOther;
    case 14:
      return equals_ignore_case(name, "content-length") ? Known::kContentLength : Known::kOther;
    case 17:
      return equals_ignore_case(name, "transfer-encoding") ? Known::kTransferEncoding
                                                           : Known::kOther;
    default:
      return Known::kOther;
  }
}

// Keep-alive follows the Connection lines one by one; a `close` token on any line wins over
// every other line, so the verdict agrees with the close test the encoders apply.
struct KeepAlive {
  bool value;
  bool closed = false;

  void connection_line(std::string_view v) {
    if (has_token(v, "close")) closed = true;
    value = value ? !has_token(v, "close") : has_token(v, "keep-alive");
  }
  bool result() const { return value && !closed; }
};

// The request-target forms each method may use (RFC 9112 section 3.2): CONNECT takes the
// authority form and nothing else, the asterisk form is for OPTIONS alone.
bool target_form_allowed(UriForm form, Method method) {
  if (method == Method::kConnect) return form == UriForm::kAuthority;
  if (form == UriForm::kAuthority) return false;
  return form != UriForm::kAsterisk || method == Method::kOptions;
}

// The request-target as the head reports it: scheme "://" authority path-and-query for the
// absolute form (an empty path becomes "/"), the authority alone for the authority form, else
// the target exactly as received. An absolute-form target's authority goes to `*host`: it
// names the host the request is for (RFC 9112 section 3.2.2); user information in it is
// refused (RFC 9110 section 4.2.4).
bool request_target_text(std::string_view raw, Method method, std::string* out,
                         std::string_view* host) {
  if (raw.size() > kMaxUriLength) return false;
  if (!raw.empty() && raw[0] == '/') {  // the origin form, as nearly every request has it
    if (!is_origin_form(raw) || !target_form_allowed(UriForm::kOrigin, method)) return false;
    out->assign(raw);
    return true;
  }
  Uri uri;
  UriError error;
  if (!parse_uri(raw, &uri, &error) || !target_form_allowed(uri.form, method)) return false;
  if (uri.form == UriForm::kAbsolute) {
    if (uri.has_userinfo) return false;
    *host = uri.authority;
  }
  switch (uri.form) {
    case UriForm::kOrigin:
    case UriForm::kAsterisk:
      out->assign(raw);
      break;
    case UriForm::kAuthority:
      out->assign(uri.authority);
      break;
    case UriForm::kAbsolute:
      out->reserve(raw.size() + 1);
      out->assign(uri.scheme);
      out->append("://");
      out->append(uri.authority);
      if (uri.path_and_query.empty() || uri.path_and_query.front() != '/') out->push_back('/');
      out->append(uri.path_and_query);
      break;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Request heads

ParseOutcome parse_request_head(std::string_view buffer, const RequestLimits& limits,
                                RequestHead* head, HeadProgress* progress) {
  StartLine start;
  LineSlots lines(limits.max_headers);
  const Walk walk = walk_head(buffer, true, limits.ignore_invalid_headers, progress, &start, lines);
  if (walk.step != Step::kOk) return outcome_of(walk);
  const auto error_outcome = [&walk](ParseKind kind) { return role_failure(kind, walk); };

  const std::string_view raw_target = start.target;
  if (raw_target.size() > kMaxUriLength) return error_outcome(ParseKind::kUriTooLong);
  std::string_view target_host;  // set for an absolute-form target
  if (!request_target_text(raw_target, start.method, &head->target, &target_host))
    return error_outcome(ParseKind::kUri);

  const bool http10 = start.http10;
  head->method = start.method;
  if (start.method == Method::kExtension) head->method_token.assign(start.method_token);
  head->http10 = http10;
  head->is_upgrade = head->method == Method::kConnect;
  KeepAlive keep_alive{!http10};
  bool transfer_encoding_seen = false;
  CodingList codings;
  uint32_t host_lines = 0;
  bool length_with_te = false;  // a Content-Length met a Transfer-Encoding, in either order
  bool length_accepted = false;
  uint64_t length = 0;
  FieldSink fields(head, lines, limits.fields_as_list);

  for (size_t k = 0; k < lines.size(); ++k) {
    const std::string_view name = lines[k].name_view();
    const std::string_view value = lines[k].value_view();
    switch (classify(name)) {
      case Known::kTransferEncoding:
        if (http10) return error_outcome(ParseKind::kTransferEncodingUnexpected);
        transfer_encoding_seen = true;
        if (length_accepted) {
          fields.remove_content_length();
          length_accepted = false;
          length_with_te = true;
        }
        codings.add_line(value);
        break;
      case Known::kContentLength: {
        if (transfer_encoding_seen) {
          length_with_te = true;
          continue;  // dropped: the chunked framing decides
        }
        const std::optional<uint64_t> parsed = parse_decimal(value);
        if (!parsed) return error_outcome(ParseKind::kContentLengthInvalid);
        if (length_accepted) {
          if (*parsed != length) return error_outcome(ParseKind::kContentLengthInvalid);
          continue;  // a repeat of the same length
        }
        if (*parsed > kMaxContentLength) return error_outcome(ParseKind::kTooLarge);
        length_accepted = true;
        length = *parsed;
        break;
      }
      case Known::kConnection:
        keep_alive.connection_line(value);
        break;
      case Known::kExpect:
        head->expect_continue = equals_ignore_case(value, "100-continue");
        break;
      case Known::kUpgrade:
        head->is_upgrade = !http10;
        break;
      case Known::kTe:
        if (has_token(value, "trailers")) head->allow_trailers = true;
        break;
      case Known::kHost:
        // One Host line, naming a host (RFC 9112 section 3.2). With an absolute-form target
        // the line must still be sound, but the target names the host: the head carries the
        // target's, so that nothing downstream routes by a Host the request does not go to.
        if (++host_lines > 1 || !is_host_field_value(value))
          return error_outcome(ParseKind::kHostInvalid);
        if (!target_host.empty()) {
          if (!fields.add(name, target_host)) return error_outcome(ParseKind::kTooLarge);
          continue;
        }
        break;
      case Known::kOther:
        break;
    }
    if (!fields.add(name, value)) return error_outcome(ParseKind::kTooLarge);
  }
  fields.finish();

  if (transfer_encoding_seen) {
    switch (codings.verdict()) {
      case CodingList::Verdict::kChunked:
        break;
      case CodingList::Verdict::kInvalid:
        return error_outcome(ParseKind::kTransferEncodingInvalid);
      case CodingList::Verdict::kUnsupported:
        return error_outcome(ParseKind::kTransferEncodingUnsupported);
    }
    head->body_kind = BodyKind::kChunked;
    head->content_length = 0;
  } else if (length_accepted && length != 0) {
    head->body_kind = BodyKind::kLength;
    head->content_length = length;
  } else {
    head->body_kind = BodyKind::kEmpty;
    head->content_length = 0;
  }
  head->keep_alive = keep_alive.result() && !length_with_te;
  // Checked last, so that a head with a framing fault reports that first.
  if (host_lines == 0 && !http10) return error_outcome(ParseKind::kHostMissing);

  ParseOutcome out;
  out.status = ParseStatus::kComplete;
  out.consumed = walk.end;
  out.scanned = walk.scanned;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Response heads

namespace {

// Every comma-separated item of every Content-Length line, trimmed, must be the same number.
enum class LengthVerdict : uint8_t { kOk, kInvalid };

LengthVerdict response_length(const LineSlots& lines, uint64_t* length) {
  bool seen = false;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (classify(lines[k].name_view()) != Known::kContentLength) continue;
    std::string_view rest = lines[k].value_view();
    while (true) {
      const size_t comma = rest.find(',');
      const std::optional<uint64_t> item = parse_decimal(trim_whitespace(rest.substr(0, comma)));
      if (!item || (seen && *item != *length)) return LengthVerdict::kInvalid;
      seen = true;
      *length = *item;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return LengthVerdict::kOk;
}

}  // namespace

ParseOutcome parse_response_head(std::string_view buffer, const RequestMethod* request_method,
                                 const ResponseLimits& limits, ResponseHead* head,
                                 HeadProgress* progress) {
  StartLine start;
  LineSlots lines(kDefaultMaxHeaders);
  const Walk walk = walk_head(buffer, false, false, progress, &start, lines);
  if (walk.step != Step::kOk) return outcome_of(walk);
  const auto error_outcome = [&walk](ParseKind kind) { return role_failure(kind, walk); };
  const uint16_t status = start.status;
  const bool http10 = start.http10;
  ParseOutcome out;
  out.consumed = walk.end;
  out.scanned = walk.scanned;
  if (status == 100 || (status >= 102 && status <= 199)) {
    out.status = ParseStatus::kInformational;
    return out;
  }

  head->status = status;
  head->http10 = http10;
  // The role rules below only read the lines, so a listed head stays listed.
  FieldSink fields(head, lines, limits.fields_as_list);
  KeepAlive keep_alive{!http10};
  bool has_te = false;
  bool has_length = false;
  std::string_view last_te;
  for (size_t k = 0; k < lines.size(); ++k) {
    const RawLine& line = lines[k];
    switch (classify(line.name_view())) {
      case Known::kConnection:
        keep_alive.connection_line(line.value_view());
        break;
      case Known::kTransferEncoding:
        has_te = true;
        last_te = line.value_view();
        break;
      case Known::kContentLength:
        has_length = true;
        break;
      case Known::kExpect:
      case Known::kTe:
      case Known::kUpgrade:
      case Known::kHost:
      case Known::kOther:
        break;
    }
    if (!fields.add(line.name_view(), line.value_view())) {
      return error_outcome(ParseKind::kTooLarge);
    }
  }
  fields.finish();
  head->keep_alive = keep_alive.result();

  const bool is_head = request_method != nullptr && request_method->is(Method::kHead);
  const bool is_connect = request_method != nullptr && request_method->is(Method::kConnect);
  head->body_kind = BodyKind::kEmpty;
  head->content_length = 0;
  if (status == 101) {
    head->is_upgrade = true;
  } else if (status == 204 || status == 304 || is_head) {
    // no body
  } else if (is_connect && status >= 200 && status <= 299) {
    head->is_upgrade = true;
  } else if (has_te) {
    if (http10) return error_outcome(ParseKind::kTransferEncodingUnexpected);
    head->body_kind = last_token_is(last_te, "chunked") ? BodyKind::kChunked : BodyKind::kClose;
  } else if (has_length) {
    uint64_t length = 0;
    if (response_length(lines, &length) != LengthVerdict::kOk) {
      return error_outcome(ParseKind::kContentLengthInvalid);
    }
    if (length > kMaxContentLength) return error_outcome(ParseKind::kTooLarge);
    if (length != 0) {
      head->body_kind = BodyKind::kLength;
      head->content_length = length;
    }
  } else {
    head->body_kind = BodyKind::kClose;
  }
  out.status = ParseStatus::kComplete;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Trailer sections

LineOutcome parse_trailer_lines(std::string_view block, size_t max_lines, HeaderMap* out) {
  HeadProgress at_lines;
  at_lines.phase = HeadPhase::kLineStart;
  Cursor cursor(block, at_lines);
  LineSlots lines(max_lines);
  LineOutcome outcome;
  const Step step = cursor.header_lines(lines, false);
  if (step == Step::kIncomplete) return outcome;
  if (step == Step::kError) {
    outcome.status = ParseStatus::kError;
    outcome.fault = cursor.fault();
    return outcome;
  }
  for (size_t k = 0; k < lines.size(); ++k) {
    if (!out->append(lines[k].name_view(), lines[k].value_view())) {
      outcome.status = ParseStatus::kError;
      outcome.fault = LineFault::kMapRefused;
      outcome.refused_name = lines[k].name_view();
      return outcome;
    }
  }
  outcome.status = ParseStatus::kComplete;
  outcome.consumed = cursor.pos();
  return outcome;
}

}  // namespace quillet::h1
