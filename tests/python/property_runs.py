"""How many examples a property test tries. The run against the sanitized extension divides
them by QEL_EXAMPLES_DIVISOR: it is several times slower and looks for memory errors, which
the first examples find as well as the last."""

import os

DIVISOR = int(os.environ.get("QEL_EXAMPLES_DIVISOR", "1"))


def examples(count: int) -> int:
    return max(1, count // DIVISOR)
