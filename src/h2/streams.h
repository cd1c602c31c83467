#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// The stream primitives (borrowed type objects, made on first use): H2StreamState,
// H2FlowControl, H2ContentLength and H2DataFrameBudget.
PyTypeObject* stream_state_type();
PyTypeObject* flow_control_type();
PyTypeObject* content_length_type();
PyTypeObject* data_frame_budget_type();

}  // namespace quillet::py
