// ProxyMatcher and ProxyIntercept: the module's face of proxy selection (wire/proxy).
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// The classes (borrowed), made on first use.
PyTypeObject* proxy_matcher_type();
PyTypeObject* proxy_intercept_type();

}  // namespace quillet::py
