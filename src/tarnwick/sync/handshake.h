// The connection handshake: the client Hello (password or SSH-key authentication), the optional
// SSH challenge exchange, the server Hello, and the addendum that settles the chunked framing of
// each direction. Everything here is read from a byte source and written to a byte sink; handshake
// traffic is never chunk-framed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/byte_sink.h"
#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/base/result.h"
#include "tarnwick/sync/config.h"

namespace tarnwick::sync {

// What the server's Hello said, and what the two sides settled on.
struct ServerInfo {
  std::string name;
  uint64_t version_major = 0;
  uint64_t version_minor = 0;
  uint64_t version_patch = 0;  // 0 when not sent
  uint64_t revision = 0;       // the server's own revision as sent
  // min(server revision, configured revision): every revision test after the handshake uses it.
  uint64_t negotiated_revision = 0;
  std::optional<std::string> timezone;
  std::optional<std::string> display_name;
  uint64_t parallel_replicas_version = 7;
  std::string server_chunked_send_mode;  // server to client; empty when not sent
  std::string server_chunked_recv_mode;  // client to server; empty when not sent
  std::vector<std::pair<std::string, std::string>> password_complexity_rules;
  std::optional<uint64_t> nonce;
  std::optional<uint64_t> version_54477;
  uint64_t version_54479 = 6;
  bool send_chunked = false;  // client packets are chunk-framed
  bool recv_chunked = false;  // server packets are chunk-framed
};

inline constexpr uint64_t kMaxPasswordComplexityRules = 65536;
inline constexpr std::string_view kSshKeyMarker = " SSH KEY AUTHENTICATION ";

// The whole exchange: Hello, SSH challenge when a signer is set, server Hello, addendum.
base::Result<ServerInfo> perform_handshake(base::ByteSource& in, base::ByteSink& out,
                                           const ClientConfig& config);

// Appends the client Hello. The buffer then holds the password (or the user name): wipe it after
// sending.
void write_client_hello(base::ByteBuffer& out, const ClientConfig& config);

// Reads the server's answer to the Hello: its packet type, then the Hello fields gated by the
// negotiated revision. An Exception instead fails with Error::Auth carrying its text. The texts
// kept (names, time zone, chunked modes, password rules) share one KeptTexts bound.
base::Result<ServerInfo> read_server_hello(base::ByteSource& in, uint64_t configured_revision);

// The challenge exchange: request, challenge, signature by `signer`, response.
base::Status perform_ssh_auth(base::ByteSource& in, base::ByteSink& out, const ClientConfig& config,
                              const SshSigner& signer);

// The bytes the signer signs: the revision in decimal, then database, user and challenge.
std::string ssh_signature_message(uint64_t revision, std::string_view database,
                                  std::string_view user, std::span<const uint8_t> challenge);

// An Exception packet body read during the handshake, as one text: each level rendered as
// "{name} (code {code}): {message}", joined with " | nested: ".
base::Result<std::string> read_exception_chain(base::ByteSource& in);

// Reads and drops the server's settings: entries of name, flags, value up to an empty name.
base::Status skip_settings_strings_with_flags(base::ByteSource& in);

// Whether one direction is chunk-framed, from the server's and the client's mode for it;
// `direction` is "send" or "recv" and only names the direction in the error.
base::Result<bool> choose_chunked_mode(std::string_view server_mode, std::string_view client_mode,
                                       std::string_view direction);

// Sets info.send_chunked and info.recv_chunked for info.negotiated_revision, or fails when the
// configured modes cannot be met.
base::Status negotiate_chunked_modes(ServerInfo& info, const ClientConfig& config);

}  // namespace tarnwick::sync
