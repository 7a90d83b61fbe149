// The ClientInfo block of the Query packet. Everything but the initial query id is fixed per
// connection, so it is serialized once into the bytes before the id (prefix) and after it (suffix).
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "tarnwick/base/bytes.h"
#include "tarnwick/sync/config.h"

namespace tarnwick::sync {

struct ClientInfoTemplate {
  base::ByteBuffer prefix;  // query kind, initial user
  base::ByteBuffer suffix;  // initial address and everything after it

  ClientInfoTemplate() = default;
  ClientInfoTemplate(ClientInfoTemplate&&) noexcept = default;
  ClientInfoTemplate& operator=(ClientInfoTemplate&& other) noexcept {
    if (this != &other) {
      prefix.wipe();
      prefix = std::move(other.prefix);
      suffix = std::move(other.suffix);
    }
    return *this;
  }
  ~ClientInfoTemplate() { prefix.wipe(); }  // the prefix holds the initial user
};

// The ClientInfo fields of `config` for negotiated revision `revision`.
ClientInfoTemplate build_client_info_template(const ClientConfig& config, uint64_t revision);

// Appends prefix, the query id as a string, suffix.
void write_client_info_from_template(base::ByteBuffer& out, const ClientInfoTemplate& info,
                                     std::string_view query_id);

}  // namespace tarnwick::sync
