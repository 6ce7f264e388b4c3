#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "boxed.hpp"
#include "module.hpp"

namespace qelpy {

// Calls `function` of the package's module qel.frames with `self` first, then the caller's
// arguments: the conversions to pandas and Arrow are Python code, methods of the classes here.
PyObject* call_frames(const char* function, PyObject* self, PyObject* args, PyObject* kwargs);

// A method that forwards to the function of qel.frames named `Function`.
template <const char* Function>
PyObject* frames_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frames(Function, self, args, kwargs);
}

inline constexpr char kTimeBases[] = "time_bases";
inline constexpr char kToPandas[] = "to_pandas";
inline constexpr char kToArrow[] = "to_arrow";
inline constexpr char kToParquet[] = "to_parquet";
inline constexpr char kChannelToPandas[] = "channel_to_pandas";

// The docstrings, shared by the classes that offer the same conversions.
inline constexpr char kTimeBasesDoc[] =
    "time_bases($self, names=None)\n--\n\n"
    "The channels (all, or `names`) grouped by time base: lists of the\n"
    "names of channels with identical timestamps (equidistant channels\n"
    "with the same segments, others with equal timestamp arrays), in the\n"
    "order of their first channel. Channels without samples come last, as\n"
    "one group. The channels of one group join into one table without\n"
    "resampling.";

inline constexpr char kToPandasDoc[] =
    "to_pandas($self, names=None, *, raster=None, method='previous', time='datetime',"
    " unit='ns', layout='wide', union=False)\n--\n\n"
    "The channels (all, or `names`) as a `pandas.DataFrame` (needs\n"
    "`pip install 'qel[pandas]'`).\n\n"
    "layout='wide': one column per channel, indexed by time. Channels of one\n"
    "time base are joined as they are; channels of several need `raster`\n"
    "(else ValueError) or `union=True` (every timestamp of any channel, NaN\n"
    "or None where a channel has no sample at that time).\n"
    "raster: a period ('10ms', a `pandas.Timedelta`, seconds as a number),\n"
    "from the earliest sample to the latest; an int64 array of timestamps;\n"
    "or a channel's name (its timestamps). Every channel is resampled onto\n"
    "it with `method`: 'previous' (the last sample at or before each\n"
    "point), 'linear' (numbers only) or 'nearest' (the earlier on a tie).\n"
    "Points before a channel's first sample are missing, and for 'linear'\n"
    "and 'nearest' also points after its last.\n"
    "layout='long': rows of time, channel (categorical), value (float64),\n"
    "text (strings) and binary, in time order.\n"
    "time: 'datetime' (UTC), 'timedelta' (since the first row) or 'ns'\n"
    "(int64); unit: 'ns', 'us' or 'ms', the resolution of the times.\n\n"
    "Samples out of time order are sorted stably. Integer and boolean\n"
    "channels that may miss values use pandas' nullable dtypes; GPS gives\n"
    "columns name.latitude, name.longitude, name.altitude. Units and\n"
    "display names are in `DataFrame.attrs`.";

inline constexpr char kToArrowDoc[] =
    "to_arrow($self, names=None, *, raster=None, method='previous', time='datetime',"
    " unit='ns', layout='wide', union=False)\n--\n\n"
    "The table of `to_pandas` as a `pyarrow.Table` (needs\n"
    "`pip install 'qel[arrow]'`): a `time` column (timestamp in UTC,\n"
    "duration or int64, by `time` and `unit`), then one column per channel\n"
    "of its natural type (GPS as a struct of latitude, longitude and\n"
    "altitude), null where a channel has no value. Units, display names and\n"
    "data types are in the fields' metadata, the file information in the\n"
    "schema's. Numeric columns share the memory of the NumPy arrays read.";

inline constexpr char kToParquetDoc[] =
    "to_parquet($self, path, names=None, *, raster=None, method='previous',"
    " time='datetime', unit='ns', layout='wide', union=False, compression='zstd')\n--\n\n"
    "Writes the table of `to_arrow` to the Parquet file `path` (needs\n"
    "`pip install 'qel[arrow]'`).";

inline constexpr char kChannelToPandasDoc[] =
    "to_pandas($self, *, time='datetime')\n--\n\n"
    "The samples as a `pandas.Series` named after the channel and indexed\n"
    "by its timestamps in time order (sorted stably): time='datetime' gives\n"
    "datetimes in UTC, 'timedelta' durations since the first sample, 'ns'\n"
    "int64 nanoseconds. GPS channels give a DataFrame of latitude,\n"
    "longitude and altitude; strings and binaries an object Series. The\n"
    "unit and display name are in `attrs`. Needs `pip install 'qel[pandas]'`.";

// The method table of a class of several channels: its own methods `own`,
// then the conversions above, then the end marker.
template <std::size_t N>
std::array<PyMethodDef, N + 5> with_frames_methods(const PyMethodDef (&own)[N]) {
  constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;
  std::array<PyMethodDef, N + 5> table{};
  std::copy(own, own + N, table.begin());
  table[N] = {"time_bases", as_method(frames_method<kTimeBases>), kFlags, kTimeBasesDoc};
  table[N + 1] = {"to_pandas", as_method(frames_method<kToPandas>), kFlags, kToPandasDoc};
  table[N + 2] = {"to_arrow", as_method(frames_method<kToArrow>), kFlags, kToArrowDoc};
  table[N + 3] = {"to_parquet", as_method(frames_method<kToParquet>), kFlags, kToParquetDoc};
  return table;
}

}  // namespace qelpy
