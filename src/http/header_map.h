// The Python HeaderMap: the one header collection of the module. Every head, trailer block and
// HEADERS frame carries one, and every header argument of the encoders takes one; those classes
// reach it through the functions below and work on the wire/ core directly.
#pragma once

#include "src/py/ref.h"
#include "wire/common/field_list.h"
#include "wire/common/header_map.h"

#include <memory>
#include <string_view>

namespace quillet::py {

// The class (borrowed; made on first use and kept for the life of the process), or nullptr with
// the Python error set.
PyTypeObject* header_map_type();

class PairCache;

// A new HeaderMap that owns `core`, or nullptr with the Python error set. Parsed heads make their
// map this way, the first time someone asks for it. With `pairs`, the map's raw list shares the
// pairs of the connection's last heads (src/http/pair_cache.h).
PyObject* header_map_from_core(quillet::HeaderMap&& core,
                               std::shared_ptr<PairCache> pairs = nullptr);

// The same for a parsed head's fields, which fill the map's core only when something other than
// a list of its pairs, names or values is asked of it.
PyObject* header_map_from_fields(quillet::FieldList&& fields,
                                 std::shared_ptr<PairCache> pairs = nullptr);

// Whether `obj` is a HeaderMap.
bool header_map_check(PyObject* obj);

// Copies the contents of the HeaderMap `obj` into `out`, under its lock, so that later changes
// by the caller cannot reach an encoder. False with TypeError set when `obj` is not a HeaderMap
// (MemoryError when the copy cannot be had).
bool header_map_snapshot(PyObject* obj, quillet::HeaderMap* out);

// The same as an argument converter: the TypeError names the argument.
bool arg_header_map(PyObject* obj, const char* name, quillet::HeaderMap* out);

// A header name or value argument: `str` (as UTF-8) or `bytes` (a subclass is fine), validated.
// The view borrows from `obj`; a name keeps its case (the core folds it). On failure the
// HeaderMap's TypeError or ValueError is set.
bool arg_header_name(PyObject* obj, std::string_view* out);
bool arg_header_value(PyObject* obj, std::string_view* out);

// Fills `out` (empty) from a header argument as HeaderMap(init) would read it: None, a
// HeaderMap (copied under its lock), a dict or an iterable of pairs; without making a Python
// HeaderMap. False with the HeaderMap's conversion error set.
bool header_map_fill(PyObject* init, quillet::HeaderMap* out);

// Raises the ValueError of a map that cannot take one more name; returns nullptr.
PyObject* raise_header_map_full();

}  // namespace quillet::py
