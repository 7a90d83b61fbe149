#include "support/raw_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tarnwick/base/format.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/column_reader.h"
#include "tarnwick/protocol/wire.h"

namespace tarnwick::testing {

using base::ByteBuffer;
using base::Error;
using base::IoError;
using base::Result;
using base::Status;
using protocol::read_string;
using protocol::read_string_bytes;
using protocol::read_varint;
using protocol::write_string;
using protocol::write_varint;

namespace {

constexpr int kIoTimeoutSeconds = 10;
constexpr auto kExchangeDeadline = std::chrono::seconds(60);
constexpr int kMaxPackets = 100000;
constexpr std::string_view kClientName = "tarnwick-capture";
constexpr uint8_t kBlockInfo[] = {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

Error errno_error() {
  return Error::io(IoError::from_errno(errno));
}

Status skip_varints(base::ByteSource& src, int n) {
  for (int i = 0; i < n; ++i) TW_TRY(read_varint(src));
  return {};
}

// One block at this revision: no flag byte after a column's type name.
Result<RawBlock> read_raw_block(base::ByteSource& src) {
  TW_TRY(protocol::skip_block_info_from_reader(src));
  TW_ASSIGN_OR_RETURN(uint64_t ncols, read_varint(src));
  TW_TRY(protocol::checked_count(ncols, "block column", protocol::kMaxBlockColumns));
  RawBlock block;
  TW_ASSIGN_OR_RETURN(block.rows, read_varint(src));
  TW_TRY(protocol::checked_count(block.rows, "block row", protocol::kMaxBlockRows));
  for (uint64_t c = 0; c < ncols; ++c) {
    RawColumn col;
    TW_ASSIGN_OR_RETURN(col.name, read_string(src));
    TW_ASSIGN_OR_RETURN(col.type, read_string(src));
    TW_ASSIGN_OR_RETURN(protocol::ColumnType type, protocol::parse_column_type(col.type));
    ByteBuffer body;
    uint64_t budget = protocol::kColumnByteLimit;
    TW_TRY(protocol::read_column_data_into(src, type, block.rows, body, budget));
    col.body.assign(body.data(), body.data() + body.size());
    block.columns.push_back(std::move(col));
  }
  return block;
}

}  // namespace

void write_raw_block(ByteBuffer& out, const RawBlock& block) {
  out.append(kBlockInfo, sizeof kBlockInfo);
  write_varint(out, block.columns.size());
  write_varint(out, block.rows);
  for (const RawColumn& col : block.columns) {
    write_string(out, col.name);
    write_string(out, col.type);
    out.append(col.body.data(), col.body.size());
  }
}

ByteBuffer raw_data_packet(std::span<const uint8_t> framed) {
  ByteBuffer out;
  write_varint(out, 2);  // client Data
  write_string(out, std::string_view());
  out.append(framed.data(), framed.size());
  return out;
}

Status RawSession::open(const std::string& address) {
  auto addr = sync::SocketAddr::parse(address);
  if (!addr) return Error::config(base::cat("bad address ", address));
  const auto timeout = base::Duration::from_secs(kIoTimeoutSeconds);
  TW_ASSIGN_OR_RETURN(socket_, sync::connect_with_timeout(*addr, timeout));
  TW_TRY(socket_.set_read_timeout(timeout));
  TW_TRY(socket_.set_write_timeout(timeout));

  ByteBuffer hello;
  write_varint(hello, 0);  // client Hello
  write_string(hello, kClientName);
  write_varint(hello, 1);
  write_varint(hello, 0);
  write_varint(hello, kRawRevision);
  write_string(hello, std::string_view());  // database
  write_string(hello, "default");
  write_string(hello, std::string_view());  // password
  TW_TRY(send(hello.span()));

  deadline_ = std::chrono::steady_clock::now() + kExchangeDeadline;
  TW_ASSIGN_OR_RETURN(uint64_t type, read_varint(*this));
  if (type != 0) return Error::protocol(base::cat("expected server Hello, got packet ", type));
  TW_TRY(read_string(*this));      // name
  TW_TRY(skip_varints(*this, 3));  // major, minor, revision
  TW_TRY(read_string(*this));      // time zone
  TW_TRY(read_string(*this));      // display name
  TW_TRY(read_varint(*this));      // patch
  return {};
}

Status RawSession::send(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(socket_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno_error();
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

Status RawSession::send_query(std::string_view query) {
  // The server refuses a query id that is still running; tests run side by side.
  static int counter = 0;
  const std::string query_id = base::cat("tarnwick-frames-", ::getpid(), "-", ++counter);
  ByteBuffer out;
  write_varint(out, 1);  // client Query
  write_string(out, query_id);
  out.push_back(1);  // initial query
  write_string(out, "default");
  write_string(out, query_id);
  write_string(out, "0.0.0.0:0");
  out.push_back(1);                       // over TCP
  write_string(out, std::string_view());  // OS user
  write_string(out, "localhost");
  write_string(out, kClientName);
  write_varint(out, 1);
  write_varint(out, 0);
  write_varint(out, kRawRevision);
  write_string(out, std::string_view());  // quota key
  write_varint(out, 0);                   // patch
  write_string(out, std::string_view());  // end of settings
  write_varint(out, 2);                   // stage: complete
  write_varint(out, 1);                   // compression on
  write_string(out, query);
  TW_TRY(send(out.span()));
  return send_end_of_data();
}

Status RawSession::send_end_of_data() {
  const RawBlock empty;
  ByteBuffer block;
  write_raw_block(block, empty);
  TW_ASSIGN_OR_RETURN(ByteBuffer frame,
                      compression::encode_frame(block.span(), compression::kMethodLz4));
  return send(raw_data_packet(frame.span()).span());
}

Result<RawReply> RawSession::read_reply(bool stop_at_data) {
  deadline_ = std::chrono::steady_clock::now() + kExchangeDeadline;
  RawReply reply;
  for (int i = 0; i < kMaxPackets; ++i) {
    TW_ASSIGN_OR_RETURN(uint64_t type, read_varint(*this));
    switch (type) {
      case 1:                        // Data
      case 7:                        // Totals
      case 8: {                      // Extremes
        TW_TRY(read_string(*this));  // table name
        compression::DecompressingReader src(*this);
        TW_TRY(src.start());
        TW_ASSIGN_OR_RETURN(RawBlock block, read_raw_block(src));
        if (!src.buffered().empty()) return Error::protocol("block ends inside a frame");
        reply.blocks.push_back(std::move(block));
        if (stop_at_data && type == 1) return reply;
        break;
      }
      case 2: {  // Exception, with its nested ones
        std::string text;
        for (int level = 0; level < 100; ++level) {
          int32_t code;
          TW_TRY(read_exact(&code, sizeof code));
          TW_TRY(read_string_bytes(*this));  // name
          TW_ASSIGN_OR_RETURN(std::string message, read_string_bytes(*this));
          TW_TRY(read_string_bytes(*this));  // stack trace
          TW_ASSIGN_OR_RETURN(uint8_t nested, read_u8());
          text += (level ? " | " : "") + message;
          if (nested == 0) break;
        }
        reply.exception = std::move(text);
        return reply;
      }
      case 3:  // Progress: rows, bytes, total rows
        TW_TRY(skip_varints(*this, 3));
        break;
      case 5:  // EndOfStream
        reply.end_of_stream = true;
        return reply;
      case 6:  // ProfileInfo
        TW_TRY(skip_varints(*this, 3));
        TW_TRY(skip(1));
        TW_TRY(read_varint(*this));
        TW_TRY(skip(1));
        break;
      case 11:  // TableColumns: table name, column description
        TW_TRY(read_string(*this));
        TW_TRY(read_string(*this));
        break;
      default:
        return Error::protocol(base::cat("unexpected server packet ", type));
    }
  }
  return Error::protocol("too many packets");
}

Status RawSession::execute(std::string_view query) {
  TW_TRY(send_query(query));
  TW_ASSIGN_OR_RETURN(RawReply reply, read_reply());
  if (reply.exception) return Error::protocol(base::cat("server refused: ", *reply.exception));
  return {};
}

Result<size_t> RawSession::refill() {
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline_) {
      return Error::timeout("server did not answer in time");
    }
    ssize_t n = ::recv(socket_.fd(), buffer_.data(), buffer_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno_error();
    pos_ = buffer_.data();
    end_ = pos_ + n;
    return static_cast<size_t>(n);
  }
}

}  // namespace tarnwick::testing
