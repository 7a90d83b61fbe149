#include "tarnwick/sync/handshake.h"

#include <charconv>

#include "tarnwick/base/format.h"
#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/server_packets.h"

namespace tarnwick::sync {

using base::ByteBuffer;
using base::ByteSink;
using base::ByteSource;
using base::cat;
using base::Error;
using base::Result;
using base::Status;
using protocol::read_string;
using protocol::read_varint;
using protocol::write_string;
using protocol::write_varint;

namespace {

using protocol::ClientPacket;
using protocol::code;
using protocol::ServerPacket;

constexpr uint64_t kAddendumReplicasVersion = 7;

// A buffer holding credentials: zeroed before its memory is released, whatever happens.
struct SecretBuffer {
  ByteBuffer bytes;
  ~SecretBuffer() { bytes.wipe(); }
};

Status send(ByteSink& out, std::span<const uint8_t> bytes) {
  TW_TRY(out.write_all(bytes));
  return out.flush();
}

size_t string_bound(size_t n) {
  return 10 + n;
}

std::string_view mode_name(bool chunked) {
  return chunked ? "chunked" : "notchunked";
}

// The text of a signer's refusal, as the signer worded it.
std::string refusal_text(const Error& error) {
  if (error.kind() == base::ErrorKind::Io) return error.io_error().to_string();
  return error.message();
}

// Refuses a configured revision outside the supported window, and SSH-key authentication below
// the revision that has it.
Status check_handshake_config(const ClientConfig& config) {
  if (config.revision < kMinRevision) {
    return Error::protocol(cat("protocol revision ", config.revision,
                               " is below the supported minimum ", kMinRevision));
  }
  if (config.revision > kMaxRevision) {
    return Error::protocol(cat("protocol revision ", config.revision,
                               " is not enabled; max supported is ", kMaxRevision));
  }
  if (config.ssh_signer && config.revision < protocol::kRevisionWithSshAuth) {
    return Error::protocol(cat("SSH-key authentication requires protocol revision >= ",
                               protocol::kRevisionWithSshAuth));
  }
  return {};
}

}  // namespace

void write_client_hello(ByteBuffer& out, const ClientConfig& config) {
  // Sized up front, so the credentials are never left behind in a buffer given up while growing.
  out.reserve(out.size() + 1 + 3 * 10 + string_bound(config.client_name.size()) +
              string_bound(config.database.size()) +
              string_bound(kSshKeyMarker.size() + config.user.size()) +
              string_bound(config.password.size()));
  write_varint(out, code(ClientPacket::Hello));
  write_string(out, config.client_name);
  write_varint(out, config.client_version_major);
  write_varint(out, config.client_version_minor);
  write_varint(out, config.revision);
  write_string(out, config.database);
  if (config.ssh_signer) {
    write_varint(out, kSshKeyMarker.size() + config.user.size());
    out.append(kSshKeyMarker);
    out.append(config.user);
    write_varint(out, 0);  // no password
  } else {
    write_string(out, config.user);
    write_string(out, config.password);
  }
}

Result<std::string> read_exception_chain(ByteSource& in) {
  TW_ASSIGN_OR_RETURN(ExceptionChain chain, read_exception_chain_levels(in, true));
  return std::move(chain.text);
}

Status skip_settings_strings_with_flags(ByteSource& in) {
  // Each entry costs at least one byte of input, so the loop ends with the source.
  for (;;) {
    TW_ASSIGN_OR_RETURN(std::string name, protocol::read_string(in));
    if (name.empty()) return {};
    TW_TRY(read_varint(in));  // flags
    TW_TRY(read_string(in));  // value
  }
}

Result<ServerInfo> read_server_hello(ByteSource& in, uint64_t configured_revision) {
  TW_ASSIGN_OR_RETURN(uint64_t type, read_varint(in));
  if (type == code(ServerPacket::Exception)) {
    TW_ASSIGN_OR_RETURN(std::string text, read_exception_chain(in));
    return Error::auth(std::move(text));
  }
  if (type != code(ServerPacket::Hello))
    return Error::protocol(cat("expected hello (0), got ", type));

  ServerInfo info;
  KeptTexts texts;
  TW_ASSIGN_OR_RETURN(info.name, texts.read(in));
  TW_ASSIGN_OR_RETURN(info.version_major, read_varint(in));
  TW_ASSIGN_OR_RETURN(info.version_minor, read_varint(in));
  TW_ASSIGN_OR_RETURN(info.revision, read_varint(in));
  const uint64_t n = std::min(info.revision, configured_revision);
  info.negotiated_revision = n;
  if (n >= protocol::kRevisionWithReplicasVersion) {
    TW_ASSIGN_OR_RETURN(info.parallel_replicas_version, read_varint(in));
  }
  if (n >= protocol::kRevisionWithServerTimezone) {
    TW_ASSIGN_OR_RETURN(info.timezone, texts.read(in));
  }
  if (n >= protocol::kRevisionWithServerDisplayName) {
    TW_ASSIGN_OR_RETURN(info.display_name, texts.read(in));
  }
  if (n >= protocol::kRevisionWithVersionPatch) {
    TW_ASSIGN_OR_RETURN(info.version_patch, read_varint(in));
  }
  if (n >= protocol::kRevisionWithChunkedPackets) {
    TW_ASSIGN_OR_RETURN(info.server_chunked_send_mode, texts.read(in));
    TW_ASSIGN_OR_RETURN(info.server_chunked_recv_mode, texts.read(in));
  }
  if (n >= protocol::kRevisionWithPasswordComplexityRules) {
    TW_ASSIGN_OR_RETURN(uint64_t count, read_varint(in));
    TW_TRY(limits::checked_count(count, "password complexity rule", kMaxPasswordComplexityRules));
    info.password_complexity_rules.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
      TW_ASSIGN_OR_RETURN(std::string pattern, texts.read(in));
      TW_ASSIGN_OR_RETURN(std::string message, texts.read(in));
      info.password_complexity_rules.emplace_back(std::move(pattern), std::move(message));
    }
  }
  if (n >= protocol::kRevisionWithNonce) {
    TW_ASSIGN_OR_RETURN(info.nonce, protocol::read_fixed<uint64_t>(in));
  }
  if (n >= protocol::kRevisionWithServerSettings) TW_TRY(skip_settings_strings_with_flags(in));
  if (n >= protocol::kRevisionWithVersion54477) {
    TW_ASSIGN_OR_RETURN(info.version_54477, read_varint(in));
  }
  if (n >= protocol::kRevisionWithVersion54479) {
    TW_ASSIGN_OR_RETURN(info.version_54479, read_varint(in));
  }
  return info;
}

std::string ssh_signature_message(uint64_t revision, std::string_view database,
                                  std::string_view user, std::span<const uint8_t> challenge) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, revision).ptr;
  std::string message;
  message.reserve(static_cast<size_t>(end - digits) + database.size() + user.size() +
                  challenge.size());
  message.append(digits, end);
  message.append(database);
  message.append(user);
  message.append(reinterpret_cast<const char*>(challenge.data()), challenge.size());
  return message;
}

Status perform_ssh_auth(ByteSource& in, ByteSink& out, const ClientConfig& config,
                        const SshSigner& signer) {
  const uint8_t request = code(ClientPacket::SshChallengeRequest);
  TW_TRY(send(out, {&request, 1}));

  TW_ASSIGN_OR_RETURN(uint64_t type, read_varint(in));
  if (type == code(ServerPacket::Exception)) {
    TW_ASSIGN_OR_RETURN(std::string text, read_exception_chain(in));
    return Error::auth(std::move(text));
  }
  if (type != code(ServerPacket::SshChallenge)) {
    return Error::protocol(cat("expected SSHChallenge or Exception packet, got ", type));
  }
  TW_ASSIGN_OR_RETURN(std::string challenge, protocol::read_string_bytes(in));

  std::string message =
      ssh_signature_message(config.revision, config.database, config.user,
                            {reinterpret_cast<const uint8_t*>(challenge.data()), challenge.size()});
  Result<std::string> signature = signer(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(message.data()), message.size()));
  wipe_string(message);  // it carries the user name
  if (!signature.ok()) return Error::auth(refusal_text(signature.error()));

  ByteBuffer response(1 + string_bound(signature->size()));
  write_varint(response, code(ClientPacket::SshChallengeResponse));
  write_string(response, *signature);
  return send(out, response.span());
}

Result<bool> choose_chunked_mode(std::string_view server_mode, std::string_view client_mode,
                                 std::string_view direction) {
  auto chunked = [](std::string_view m) { return m.starts_with("chunked"); };
  auto optional = [](std::string_view m) { return m.ends_with("_optional"); };
  if (optional(server_mode)) return chunked(client_mode);
  if (!optional(client_mode) && chunked(client_mode) != chunked(server_mode)) {
    return Error::protocol(cat("incompatible chunked protocol for ", direction,
                               ": client requests ", mode_name(chunked(client_mode)),
                               ", server requires ", mode_name(chunked(server_mode))));
  }
  return chunked(server_mode);
}

Status negotiate_chunked_modes(ServerInfo& info, const ClientConfig& config) {
  const uint64_t n = info.negotiated_revision;
  info.send_chunked = false;
  info.recv_chunked = false;
  if (n < protocol::kRevisionWithAddendum) return {};
  if (n < protocol::kRevisionWithChunkedPackets) {
    if (config.proto_send_chunked == "chunked" || config.proto_recv_chunked == "chunked") {
      return Error::protocol("server revision does not support chunked native protocol");
    }
    return {};
  }
  TW_ASSIGN_OR_RETURN(info.send_chunked, choose_chunked_mode(info.server_chunked_recv_mode,
                                                             config.proto_send_chunked, "send"));
  TW_ASSIGN_OR_RETURN(info.recv_chunked, choose_chunked_mode(info.server_chunked_send_mode,
                                                             config.proto_recv_chunked, "recv"));
  return {};
}

namespace {

// Appends the Hello addendum for the negotiated modes; nothing below the revision that has it.
void write_hello_addendum(ByteBuffer& out, const ClientConfig& config, const ServerInfo& info) {
  const uint64_t n = info.negotiated_revision;
  if (n < protocol::kRevisionWithAddendum) return;
  write_string(out, config.quota_key);
  if (n < protocol::kRevisionWithChunkedPackets) return;
  write_string(out, mode_name(info.send_chunked));
  write_string(out, mode_name(info.recv_chunked));
  if (n >= protocol::kRevisionWithReplicasVersion) write_varint(out, kAddendumReplicasVersion);
}

}  // namespace

Result<ServerInfo> perform_handshake(ByteSource& in, ByteSink& out, const ClientConfig& config) {
  TW_TRY(check_handshake_config(config));
  {
    SecretBuffer hello;
    write_client_hello(hello.bytes, config);
    TW_TRY(send(out, hello.bytes.span()));
  }
  if (config.ssh_signer) TW_TRY(perform_ssh_auth(in, out, config, *config.ssh_signer));

  TW_ASSIGN_OR_RETURN(ServerInfo info, read_server_hello(in, config.revision));
  TW_TRY(negotiate_chunked_modes(info, config));
  if (info.negotiated_revision >= protocol::kRevisionWithAddendum) {
    ByteBuffer addendum;
    write_hello_addendum(addendum, config, info);
    TW_TRY(send(out, addendum.span()));
  }
  return info;
}

}  // namespace tarnwick::sync
