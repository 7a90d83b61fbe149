// A result (or status) as comparable text: "ok", or the error as the library renders it.
#pragma once

#include <string>

#include "tarnwick/base/result.h"

namespace tarnwick::testing {

template <class T>
std::string error_of(const base::Result<T>& r) {
  return r.ok() ? "ok" : r.error().to_string();
}

}  // namespace tarnwick::testing
