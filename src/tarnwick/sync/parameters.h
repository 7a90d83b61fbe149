// Named query parameters of the Query packet. Each is sent as its name, the flags value 2 and its
// value as a quoted, escaped literal; an absent value is SQL NULL.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "tarnwick/base/bytes.h"

namespace tarnwick::sync {

struct QueryParameter {
  std::string name;
  std::optional<std::string> value;  // nothing means NULL
};

// The byte length of the value literal as written: quotes and escapes included.
size_t encoded_parameter_value_length(const QueryParameter& parameter);

// Appends one parameter entry: string name, varint 2, string literal.
void write_query_parameter(base::ByteBuffer& out, const QueryParameter& parameter);

// An upper bound of the parameter entries and their terminator: 1 for no parameters, else 1 plus,
// per parameter, its name length, its literal length and 8.
size_t query_parameters_capacity(std::span<const QueryParameter> parameters);

}  // namespace tarnwick::sync
