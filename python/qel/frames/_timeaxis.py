"""The time of each row in the resolution asked for, converted exactly or refused."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

TIMES = ("datetime", "timedelta", "ns")
UNITS = {"ns": 1, "us": 1_000, "ms": 1_000_000}
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


@dataclass(frozen=True)
class TimeAxis:
    """How times are shown: as datetimes in UTC, as durations since the first one, or as plain
    int64 nanoseconds, in the unit "ns", "us" or "ms"."""

    time: str
    unit: str

    @staticmethod
    def of(time: str, unit: str) -> TimeAxis:
        if time not in TIMES:
            raise ValueError(f"time must be one of {', '.join(map(repr, TIMES))}, not {time!r}")
        if unit not in UNITS:
            raise ValueError(f"unit must be one of {', '.join(map(repr, UNITS))}, not {unit!r}")
        if time == "ns" and unit != "ns":
            raise ValueError(f"time='ns' gives int64 nanoseconds; unit={unit!r} needs 'datetime' "
                             "or 'timedelta'")  # fmt: skip
        return TimeAxis(time, unit)

    def values(self, times_ns: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The int64 counts of the unit; sub-unit parts are floored (towards the past)."""
        if self.time == "ns" or len(times_ns) == 0:
            return times_ns
        first, last = int(times_ns.min()), int(times_ns.max())
        if self.time == "timedelta":
            if last - first > INT64_MAX:
                raise ValueError(f"the times span {last - first} ns, beyond the int64 range of "
                                 "a duration; use time='datetime' or 'ns'")  # fmt: skip
            # The difference fits in int64, so modulo 2**64 it is exact.
            times_ns = (times_ns.view(np.uint64) - np.uint64(first % 2**64)).view(np.int64)
        elif first == INT64_MIN and self.unit == "ns":
            raise ValueError(f"timestamp {INT64_MIN} ns cannot be shown as a datetime in ns "
                             "(it is the value of NaT); use unit='us' or time='ns'")  # fmt: skip
        factor = UNITS[self.unit]
        return times_ns if factor == 1 else np.floor_divide(times_ns, factor)
