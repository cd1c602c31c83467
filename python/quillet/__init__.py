"""quillet: an asynchronous HTTP client and server library on a native, sans-IO protocol core.

The protocol core is the `_quillet` extension module; this package holds the pure-Python code
that ships beside it.
"""

import _quillet

__version__ = _quillet.__version__
