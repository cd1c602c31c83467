// The HTTP/2 client connection preface (RFC 9113 section 3.4): what an HTTP/1 server sees
// first from a client that speaks HTTP/2 with prior knowledge, and what the module exports as
// H2_PREFACE.
#pragma once

#include <string_view>

namespace quillet::h2 {

inline constexpr std::string_view kClientPreface("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24);

}  // namespace quillet::h2
