#pragma once

#include "module.hpp"
#include "qel/meta.hpp"

namespace qelpy {

// A new dict of the file-level information: creator, tag, reason, comment,
// created_utc, namespace_separator, latitude, longitude and altitude, and
// `infos`, a list of dicts of name, value, data_type and physical_unit. A key
// is absent when the file does not give it (`infos` when there are none).
PyObject* file_info_dict(const qel::MetaBlock& meta);

}  // namespace qelpy
