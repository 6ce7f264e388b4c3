"""Read and write QEL stream files: channels of time-series samples as NumPy arrays."""

from qel._qel import QelError, __version__

__all__ = ["QelError", "__version__"]
