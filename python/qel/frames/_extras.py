"""The optional libraries of the conversions, imported only when a conversion is called."""

from __future__ import annotations

import importlib
from types import ModuleType

# The extra of the package that installs each optional module.
_EXTRAS = {"pandas": "pandas", "pyarrow": "arrow", "pyarrow.parquet": "arrow"}


def require(module: str) -> ModuleType:
    """Imports `module`, or raises ImportError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        extra = _EXTRAS[module]
        raise ImportError(
            f"{module.split('.')[0]} is needed for this conversion: pip install 'qel[{extra}]'",
            name=module,
        ) from error
