#include "tarnwick/sync/parameters.h"

#include "tarnwick/protocol/wire.h"

namespace tarnwick::sync {

namespace {

constexpr uint64_t kParameterFlags = 2;
constexpr std::string_view kNullLiteral = "'\\\\N'";  // quote, two backslashes, N, quote

// The escape of one byte of a value, or nothing when the byte stands for itself.
std::string_view escape_of(uint8_t byte) {
  switch (byte) {
    case 0x00:
      return "\\x00";
    case 0x08:
      return "\\x08";
    case 0x09:
      return "\\\\\\t";
    case 0x0A:
      return "\\\\\\n";
    case 0x27:
      return "\\x27";
    case 0x5C:
      return "\\\\\\\\";
    default:
      return {};
  }
}

}  // namespace

size_t encoded_parameter_value_length(const QueryParameter& parameter) {
  if (!parameter.value) return kNullLiteral.size();
  size_t length = 2;
  for (char c : *parameter.value) {
    const size_t escaped = escape_of(static_cast<uint8_t>(c)).size();
    length += escaped == 0 ? 1 : escaped;
  }
  return length;
}

void write_query_parameter(base::ByteBuffer& out, const QueryParameter& parameter) {
  protocol::write_string(out, parameter.name);
  protocol::write_varint(out, kParameterFlags);
  if (!parameter.value) {
    protocol::write_string(out, kNullLiteral);
    return;
  }
  protocol::write_varint(out, encoded_parameter_value_length(parameter));
  out.push_back('\'');
  for (char c : *parameter.value) {
    const std::string_view escaped = escape_of(static_cast<uint8_t>(c));
    if (escaped.empty()) {
      out.push_back(static_cast<uint8_t>(c));
    } else {
      out.append(escaped);
    }
  }
  out.push_back('\'');
}

size_t query_parameters_capacity(std::span<const QueryParameter> parameters) {
  size_t capacity = 1;
  for (const auto& p : parameters) {
    capacity += p.name.size() + encoded_parameter_value_length(p) + 8;
  }
  return capacity;
}

}  // namespace tarnwick::sync
