#include "tarnwick/sync/client_info.h"

#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::sync {

using protocol::write_fixed;
using protocol::write_string;
using protocol::write_varint;

namespace {

constexpr uint8_t kInitialQuery = 1;
constexpr uint8_t kInterfaceTcp = 1;

}  // namespace

ClientInfoTemplate build_client_info_template(const ClientConfig& config, uint64_t r) {
  ClientInfoTemplate info;
  info.prefix.push_back(kInitialQuery);
  write_string(info.prefix, config.initial_user);

  base::ByteBuffer& s = info.suffix;
  write_string(s, config.initial_address);
  if (r >= protocol::kRevisionWithQueryStartTime)
    write_fixed<uint64_t>(s, 0);  // initial query start time
  s.push_back(kInterfaceTcp);
  write_string(s, config.os_user);
  write_string(s, config.client_hostname);
  write_string(s, config.client_name);
  write_varint(s, config.client_version_major);
  write_varint(s, config.client_version_minor);
  write_varint(s, r);
  if (r >= protocol::kRevisionWithQuotaKeyInClientInfo) write_string(s, config.quota_key);
  if (r >= protocol::kRevisionWithDistributedDepth) write_varint(s, 0);  // distributed depth
  if (r >= protocol::kRevisionWithVersionPatch) write_varint(s, config.client_version_patch);
  if (r >= protocol::kRevisionWithTraceContext) s.push_back(0);  // no trace context
  if (r >= protocol::kRevisionWithParallelReplicas) {
    for (int i = 0; i < 3; ++i) write_varint(s, 0);
  }
  if (r >= protocol::kRevisionWithQueryAndLineNumbers) {
    for (int i = 0; i < 2; ++i) write_varint(s, 0);
  }
  if (r >= protocol::kRevisionWithJwtFlag) s.push_back(0);
  return info;
}

void write_client_info_from_template(base::ByteBuffer& out, const ClientInfoTemplate& info,
                                     std::string_view query_id) {
  out.append(info.prefix.span());
  write_string(out, query_id);
  out.append(info.suffix.span());
}

}  // namespace tarnwick::sync
