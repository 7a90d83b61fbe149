#include "tarnwick/sync/server_packets.h"

#include <algorithm>
#include <cstring>

#include "tarnwick/base/format.h"
#include "tarnwick/base/utf8.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/chunked.h"

namespace tarnwick::sync {

using base::ByteBuffer;
using base::ByteSink;
using base::ByteSource;
using base::cat;
using base::Error;
using base::Result;
using base::Status;
using protocol::ClientPacket;
using protocol::code;
using protocol::read_string;
using protocol::read_varint;

namespace {

constexpr uint64_t kReadTaskResponseVersion = 7;

Status skip_varints(ByteSource& in, int count) {
  for (int i = 0; i < count; ++i) TW_TRY(read_varint(in));
  return {};
}

// Skips `count` entries of 16 bytes; `count` has been checked to fit 60 bits.
Status skip_sixteen_byte_entries(ByteSource& in, uint64_t count) {
  return in.skip(count * 16);
}

bool fits_sixteen_byte_entries(uint64_t count) {
  return (count >> 60) == 0;
}

}  // namespace

Result<std::string> read_string_lossy(ByteSource& in) {
  TW_ASSIGN_OR_RETURN(std::string bytes, protocol::read_string_bytes(in));
  if (!base::validate_utf8(bytes)) return bytes;
  return base::decode_utf8_lossy(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

namespace {

// Names and messages are read in pieces of this size.
constexpr size_t kTextPiece = 4096;

// Appends to `out` through `append`, then cuts `out` back to `limit` bytes at a character
// boundary when it grew past them, setting `cut`. Nothing more is appended once `cut` is set.
// `out` holds at most `limit` bytes when `append` is called.
template <class Append>
void keep_within(std::string& out, size_t limit, bool& cut, Append&& append) {
  if (cut) return;
  append(out);
  if (out.size() <= limit) return;
  size_t end = limit;
  while (end != 0 && (static_cast<uint8_t>(out[end]) & 0xC0) == 0x80) --end;
  out.resize(end);
  cut = true;
}

// Where a piece of `n` bytes can be split so that a character begun at its end is held back for
// the next piece: before a lead byte among the last three. Decoding and checking never carry
// anything across a byte that is not a continuation byte, so the pieces read as the whole would.
size_t whole_characters(const uint8_t* piece, size_t n) {
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const uint8_t byte = piece[n - back];
    if ((byte & 0xC0) != 0x80) return byte >= 0xC0 ? n - back : n;
  }
  return n;
}

// Reads the `left` bytes of one string, its length read already, through a small buffer. With
// `out`, its text is appended there (checked, or decoded with replacement) as far as keep_within
// allows; checked text is appended no further than the byte that shows where to cut, so storage
// reserved for `limit` + 1 bytes is never outgrown. Otherwise it is dropped; `strict` still
// checks it.
Status read_text_body(ByteSource& in, uint64_t left, std::string* out, size_t limit, bool strict,
                      bool& cut) {
  if (!strict && (out == nullptr || cut)) return in.skip(left);
  uint8_t piece[kTextPiece + 3];
  size_t held = 0;     // bytes of a character begun at the previous piece's end
  uint64_t start = 0;  // where piece[0] lies in the string
  while (left != 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(left, kTextPiece));
    TW_TRY(in.read_exact(piece + held, take));
    left -= take;
    const size_t n = held + take;
    const size_t whole = left == 0 ? n : whole_characters(piece, n);
    if (strict) {
      if (auto bad = base::validate_utf8(piece, whole)) [[unlikely]] {
        bad->valid_up_to += start;
        return Error::protocol(cat("invalid utf8: ", bad->to_string()));
      }
    }
    if (out != nullptr) {
      keep_within(*out, limit, cut, [&](std::string& text) {
        if (strict) {
          text.append(reinterpret_cast<const char*>(piece),
                      std::min(whole, limit + 1 - text.size()));
        } else {
          base::append_utf8_lossy(text, piece, whole);
        }
      });
    }
    held = n - whole;
    std::memmove(piece, piece + whole, held);
    start += whole;
  }
  return {};
}

// One string, its length included; see read_text_body.
Status read_text(ByteSource& in, std::string* out, size_t limit, bool strict, bool& cut) {
  TW_ASSIGN_OR_RETURN(uint64_t left, protocol::read_string_length(in));
  return read_text_body(in, left, out, limit, strict, cut);
}

// The memory a kept text takes of its own: none while it fits inside the string.
size_t storage_of(const std::string& text) {
  static const size_t inline_capacity = std::string().capacity();
  return text.capacity() > inline_capacity ? text.capacity() : 0;
}

}  // namespace

Result<std::string> KeptTexts::read(ByteSource& in) {
  TW_ASSIGN_OR_RETURN(uint64_t length, protocol::read_string_length(in));
  std::string text;
  bool cut = false;
  if (length <= left_) {
    text.reserve(static_cast<size_t>(length));
    TW_TRY(read_text_body(in, length, &text, left_, true, cut));
    left_ -= std::min(left_, std::max(text.size(), storage_of(text)));
    return text;
  }
  // Past the bound: what fits of it with the marker, or the marker alone, which takes no memory
  // of its own; later texts keep only the marker.
  const size_t room = left_ > kTruncatedMarker.size() ? left_ - kTruncatedMarker.size() : 0;
  left_ = 0;
  if (room == 0) {
    TW_TRY(read_text_body(in, length, nullptr, 0, true, cut));
    return std::string(kTruncatedMarker);
  }
  text.reserve(room + kTruncatedMarker.size());
  TW_TRY(read_text_body(in, length, &text, room, true, cut));
  text.append(kTruncatedMarker);
  return text;
}

Result<ExceptionChain> read_exception_chain_levels(ByteSource& in, bool strict) {
  ExceptionChain chain;
  auto keep = [&](auto&& append) {
    keep_within(chain.text, kMaxPacketText, chain.truncated, append);
  };
  for (uint64_t level = 1;; ++level) {
    TW_ASSIGN_OR_RETURN(int32_t code, protocol::read_i32(in));
    if (level > 1) keep([](std::string& text) { text.append(" | nested: "); });
    const size_t name_at = chain.text.size();
    TW_TRY(read_text(in, &chain.text, kMaxPacketText, strict, chain.truncated));
    if (level == 1) chain.name = chain.text.substr(name_at);
    keep([&](std::string& text) { text.append(cat(" (code ", code, "): ")); });
    TW_TRY(read_text(in, &chain.text, kMaxPacketText, strict, chain.truncated));
    if (level == 1) chain.code = code;
    TW_TRY(read_text(in, nullptr, 0, strict, chain.truncated));  // the stack trace
    TW_ASSIGN_OR_RETURN(uint8_t nested, in.read_u8());
    if (nested == 0) {
      if (chain.truncated) chain.text.append(kTruncatedMarker);
      return chain;
    }
    if (level == kMaxExceptionLevels) {
      return Error::protocol(
          cat("exception nesting too deep: more than ", kMaxExceptionLevels, " levels"));
    }
  }
}

Error read_exception_packet(ByteSource& in) {
  auto chain = read_exception_chain_levels(in, false);
  if (!chain.ok()) return std::move(chain).error();
  return Error::server(chain->code, std::move(chain->name), std::move(chain->text));
}

Status skip_progress_packet(ByteSource& in, uint64_t r) {
  TW_TRY(skip_varints(in, 3));
  if (r < protocol::kRevisionWithProgressWrites) return {};
  TW_TRY(skip_varints(in, 2));
  if (r < protocol::kRevisionWithProgressElapsed) return {};
  TW_TRY(skip_varints(in, 1));
  if (r < protocol::kRevisionWithProgressTotalBytes) return {};
  return skip_varints(in, 1);
}

Status skip_progress_packet_for_revision(ByteSource& in, uint64_t r) {
  switch (r) {
    case 54459:
      return skip_varints(in, 5);
    case 54464:
    case 54483:
      return skip_varints(in, 7);
    default:
      return skip_progress_packet(in, r);
  }
}

namespace {

Status skip_profile_info_fields(ByteSource& in, bool with_tail) {
  TW_TRY(skip_varints(in, 3));
  TW_TRY(in.read_u8());
  TW_TRY(read_varint(in));
  TW_TRY(in.read_u8());
  if (!with_tail) return {};
  TW_TRY(in.read_u8());
  return skip_varints(in, 1);
}

}  // namespace

Status skip_profile_info_packet(ByteSource& in, uint64_t r) {
  return skip_profile_info_fields(in, r >= protocol::kRevisionWithRowsBeforeAggregation);
}

Status skip_profile_info_packet_for_revision(ByteSource& in, uint64_t r) {
  switch (r) {
    case 54459:
    case 54464:
      return skip_profile_info_fields(in, false);
    case 54483:
      return skip_profile_info_fields(in, true);
    default:
      return skip_profile_info_packet(in, r);
  }
}

Status skip_part_uuids_packet(ByteSource& in) {
  TW_ASSIGN_OR_RETURN(uint64_t count, read_varint(in));
  if (!fits_sixteen_byte_entries(count)) return Error::protocol("PartUUIDs byte length overflow");
  return skip_sixteen_byte_entries(in, count);
}

Status read_table_columns_body(ByteSource& in) {
  TW_TRY(read_string(in));
  TW_TRY(read_string(in));
  return {};
}

Status skip_table_name(ByteSource& in) {
  TW_TRY(read_string(in));
  return {};
}

Status skip_ranges_in_data_parts_description(ByteSource& in) {
  TW_ASSIGN_OR_RETURN(uint64_t parts, read_varint(in));
  // Every part takes input bytes, so a large count ends with the source.
  for (uint64_t i = 0; i < parts; ++i) {
    TW_TRY(in.skip(8));
    TW_TRY(read_string(in));
    TW_TRY(in.skip(4 * 8 + 1));
    TW_ASSIGN_OR_RETURN(uint64_t ranges, protocol::read_fixed<uint64_t>(in));
    if (!fits_sixteen_byte_entries(ranges)) {
      return Error::protocol("parallel replica mark ranges byte length overflow");
    }
    TW_TRY(skip_sixteen_byte_entries(in, ranges));
    TW_TRY(read_varint(in));
    TW_TRY(read_string(in));
    TW_TRY(read_varint(in));
  }
  return {};
}

ByteBuffer build_finished_merge_tree_read_task_response(std::string_view request_tail) {
  ByteBuffer out(32 + request_tail.size());
  out.push_back(code(ClientPacket::MergeTreeReadTaskResponse));
  protocol::write_fixed<uint64_t>(out, kReadTaskResponseVersion);
  out.push_back('1');  // finished
  out.push_back(0);    // no part ranges
  protocol::write_string(out, request_tail);
  return out;
}

Result<bool> handle_coordinator_packet(ByteSource& in, uint64_t type, ByteSink& out,
                                       bool send_chunked) {
  // Tested as a number: a wide type must not alias a small one.
  if (type > static_cast<uint64_t>(ServerPacket::SshChallenge)) return false;
  switch (static_cast<ServerPacket>(type)) {
    case ServerPacket::ReadTaskRequest: {
      static constexpr uint8_t kAnswer[] = {code(ClientPacket::ReadTaskResponse), 0x01, 0x00};
      TW_TRY(write_native_packet(out, kAnswer, send_chunked));
      return true;
    }
    case ServerPacket::MergeTreeAllRangesAnnouncement:
      TW_TRY(in.skip(8 + 1));
      TW_TRY(skip_ranges_in_data_parts_description(in));
      TW_TRY(in.skip(2 * 8));
      TW_TRY(skip_varints(in, 2));
      TW_TRY(read_string(in));
      return true;
    case ServerPacket::MergeTreeReadTaskRequest: {
      TW_TRY(in.skip(8 + 1 + 2 * 8));
      TW_TRY(skip_ranges_in_data_parts_description(in));
      TW_ASSIGN_OR_RETURN(std::string tail, read_string(in));
      ByteBuffer answer = build_finished_merge_tree_read_task_response(tail);
      TW_TRY(write_native_packet(out, answer.span(), send_chunked));
      return true;
    }
    default:
      return false;
  }
}

Result<ServerPacket> read_server_packet_body(ByteSource& in, uint64_t type,
                                             const ServerPacketContext& context) {
  // Wide types are unknown, whatever their low byte.
  const auto packet = type > static_cast<uint64_t>(ServerPacket::SshChallenge)
                          ? ServerPacket::Hello
                          : static_cast<ServerPacket>(type);
  switch (packet) {
    case ServerPacket::Data:
    case ServerPacket::Totals:
    case ServerPacket::Extremes:
    case ServerPacket::Log:
    case ServerPacket::ProfileEvents:
      TW_TRY(skip_table_name(in));
      return packet;
    case ServerPacket::TableColumns:
    case ServerPacket::Pong:
    case ServerPacket::EndOfStream:
      return packet;
    case ServerPacket::Exception:
      return read_exception_packet(in);
    case ServerPacket::Progress:
      TW_TRY(skip_progress_packet_for_revision(in, context.revision));
      return packet;
    case ServerPacket::ProfileInfo:
      TW_TRY(skip_profile_info_packet_for_revision(in, context.revision));
      return packet;
    case ServerPacket::PartUuids:
      TW_TRY(skip_part_uuids_packet(in));
      return packet;
    case ServerPacket::TimezoneUpdate:
      TW_TRY(read_string(in));
      return packet;
    case ServerPacket::ReadTaskRequest:
    case ServerPacket::MergeTreeAllRangesAnnouncement:
    case ServerPacket::MergeTreeReadTaskRequest: {
      if (context.answers == nullptr) {
        return Error::protocol("no channel for parallel-replica answers");
      }
      TW_TRY(handle_coordinator_packet(in, type, *context.answers, context.send_chunked));
      return packet;
    }
    default:
      return Error::protocol(cat("unknown packet type: ", type));
  }
}

}  // namespace tarnwick::sync
