#define PY_ARRAY_UNIQUE_SYMBOL qel_ARRAY_API
#include "numpy_api.hpp"

#include <numpy/arrayobject.h>

namespace qelpy {

bool import_numpy() {
  import_array1(false);
  return true;
}

}  // namespace qelpy
