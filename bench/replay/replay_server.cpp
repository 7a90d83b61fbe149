// A small native-protocol server for the client comparison in bench/peer_bench.py.
//
// It answers every client with the same prepared bytes: queries name their data set in a comment
// ("/*case:NAME rows:N*/ ... /*end*/") and get Data packets of deterministic rows cut into blocks
// of 65536 rows (framed in pieces of at most 1 MiB when the client asked for compression), and
// inserts are read block by block and summarised (rows and a hash per column), which a later
// "/*case:last_insert*/" query returns as one String value. The negotiated revision is the smaller
// of the client's and --revision; only it decides the handshake fields and whether each column
// header carries the custom-serialization byte.
//
//   tarnwick_replay_server [--port P] [--revision R]     prints "port P" once it listens
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "tarnwick/base/byte_source.h"
#include "tarnwick/base/bytes.h"
#include "tarnwick/compression/decompressing_reader.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/protocol/block_reader.h"
#include "tarnwick/protocol/codes.h"
#include "tarnwick/protocol/low_cardinality.h"
#include "tarnwick/protocol/type_parser.h"
#include "tarnwick/protocol/wire.h"
#include "tarnwick/sync/config.h"

namespace {

using tarnwick::base::ByteBuffer;
using tarnwick::base::ByteSource;
using tarnwick::base::Error;
using tarnwick::base::Result;
using tarnwick::base::Status;
namespace wire = tarnwick::protocol;
namespace comp = tarnwick::compression;

constexpr size_t kBlockRows = 65536;
constexpr size_t kFramePayload = 1 << 20;
constexpr uint8_t kEmptyBlockTail[] = {0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};

using wire::ClientPacket;
using wire::code;
using wire::ServerPacket;

uint64_t splitmix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// ---- the data sets ------------------------------------------------------------------------------

struct ColumnDef {
  const char* name;
  const char* type;
};
const std::vector<ColumnDef> kU64Columns = {{"n", "UInt64"}};
const std::vector<ColumnDef> kMixedColumns = {{"id", "UInt64"},
                                              {"s", "String"},
                                              {"x", "Float64"},
                                              {"t", "DateTime"},
                                              {"ns", "Nullable(String)"}};
// One column each: 40,000 distinct days; 1,000 distinct keys (for Nullable, key 0 is NULL); all
// distinct datetimes and strings.
const std::map<std::string, std::vector<ColumnDef>, std::less<>> kSingleColumns = {
    {"date", {{"d", "Date"}}},
    {"lc", {{"k", "LowCardinality(String)"}}},
    {"lcn", {{"k", "LowCardinality(Nullable(String))"}}},
    {"datetime", {{"t", "DateTime"}}},
    {"string", {{"s", "String"}}},
};

void append_text(ByteBuffer& out, uint64_t r) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const size_t len = r % 21;  // 0..20 characters
  wire::write_varint(out, len);
  for (size_t i = 0; i < len; ++i)
    out.push_back(static_cast<uint8_t>(kLetters[((r >> (i % 8 * 6)) + i) % 62]));
}

// The body of column `c` of a data set for rows [begin, end).
void write_body(ByteBuffer& out, const std::vector<ColumnDef>& cols, size_t c, size_t begin,
                size_t end) {
  const std::string_view type = cols[c].type;
  for (size_t i = begin; i < end; ++i) {
    const uint64_t r = splitmix(i * 8 + c);
    if (type == "UInt64") {
      wire::write_fixed<uint64_t>(out, r);
    } else if (type == "String" && cols.size() == 1) {
      const std::string text = "s" + std::to_string(i);
      wire::write_string(out, std::string_view(text));
    } else if (type == "String") {
      append_text(out, r);
    } else if (type == "Float64") {
      wire::write_fixed<double>(out, static_cast<double>(r >> 11) * 0x1p-53 * 1e6);
    } else if (type == "DateTime") {
      wire::write_fixed<uint32_t>(
          out,
          static_cast<uint32_t>(cols.size() == 1 ? 1500000000 + i : 1500000000 + r % 300000000));
    } else if (type == "Date") {
      wire::write_fixed<uint16_t>(out, static_cast<uint16_t>(i % 40000));
    }
  }
  if (type.starts_with("LowCardinality(") && end > begin) {
    const bool nullable = type.find("Nullable") != std::string_view::npos;
    ByteBuffer plain;
    if (nullable) {
      for (size_t i = begin; i < end; ++i) plain.push_back(i % 1000 == 0 ? 1 : 0);
    }
    for (size_t i = begin; i < end; ++i) {
      const std::string key = nullable && i % 1000 == 0 ? std::string() : std::to_string(i % 1000);
      wire::write_string(plain, std::string_view(key));
    }
    auto inner = tarnwick::protocol::parse_type(nullable ? "Nullable(String)" : "String");
    auto encoded = tarnwick::protocol::encode_low_cardinality(*inner, plain.span(), end - begin);
    if (!inner.ok() || !encoded.ok()) std::abort();
    out.append(encoded->span());
  }
  if (type == "Nullable(String)") {
    for (size_t i = begin; i < end; ++i) out.push_back(splitmix(i * 8 + c) % 5 == 0 ? 1 : 0);
    for (size_t i = begin; i < end; ++i) {
      const uint64_t r = splitmix(i * 8 + c);
      if (r % 5 == 0) {
        out.push_back(0);
      } else {
        append_text(out, r >> 3);
      }
    }
  }
}

void write_block(ByteBuffer& out, const std::vector<ColumnDef>& cols, size_t begin, size_t end,
                 bool flag, const std::vector<std::string>* text_column = nullptr) {
  out.append(std::span<const uint8_t>(kEmptyBlockTail, 8));  // block info
  wire::write_varint(out, cols.size());
  wire::write_varint(out, end - begin);
  for (size_t c = 0; c < cols.size(); ++c) {
    wire::write_string(out, std::string_view(cols[c].name));
    wire::write_string(out, std::string_view(cols[c].type));
    if (flag) out.push_back(0);
    if (text_column != nullptr) {
      for (const auto& text : *text_column) wire::write_string(out, text);
    } else {
      write_body(out, cols, c, begin, end);
    }
  }
}

// One Data packet: its block plain, or framed in pieces of at most 1 MiB.
void append_data_packet(ByteBuffer& out, const ByteBuffer& block, bool compress) {
  out.push_back(code(ServerPacket::Data));
  out.push_back(0);  // table name
  if (!compress) {
    out.append(block.span());
    return;
  }
  for (size_t at = 0; at < block.size(); at += kFramePayload) {
    const size_t n = std::min(kFramePayload, block.size() - at);
    auto status = comp::encode_frame_into(out, block.span().subspan(at, n), comp::kMethodLz4);
    if (!status.ok()) std::abort();
  }
}

ByteBuffer query_answer(const std::vector<ColumnDef>& cols, size_t rows, bool flag, bool compress) {
  ByteBuffer out;
  ByteBuffer block;
  write_block(block, cols, 0, 0, flag);  // the header block names the columns
  append_data_packet(out, block, compress);
  for (size_t begin = 0; begin < rows; begin += kBlockRows) {
    block.clear();
    write_block(block, cols, begin, std::min(rows, begin + kBlockRows), flag);
    append_data_packet(out, block, compress);
  }
  out.push_back(code(ServerPacket::EndOfStream));
  return out;
}

// ---- inserts ------------------------------------------------------------------------------------

struct Digest {
  uint64_t rows = 0;
  std::vector<uint64_t> hashes;  // FNV-1a per column, over all blocks

  static void mix(uint64_t& h, const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const uint8_t*>(p)[i]) * 0x100000001B3ull;
  }
  std::string text() const {
    std::string out = "rows=" + std::to_string(rows);
    for (uint64_t h : hashes) out += " " + std::to_string(h);
    return out;
  }
};

Status hash_string(ByteSource& in, uint64_t& h, bool keep) {
  TW_ASSIGN_OR_RETURN(auto s, wire::read_string_bytes(in));
  if (keep) {
    const uint64_t len = s.size();
    Digest::mix(h, &len, sizeof len);
    Digest::mix(h, s.data(), s.size());
  }
  return {};
}

// Reads one client block and adds it to `digest`; returns its row and column count.
Result<std::pair<uint64_t, uint64_t>> read_insert_block(ByteSource& in, bool flag, Digest& digest) {
  TW_TRY(wire::skip_block_info_from_reader(in));
  TW_ASSIGN_OR_RETURN(uint64_t ncols, wire::read_varint(in));
  TW_ASSIGN_OR_RETURN(uint64_t nrows, wire::read_varint(in));
  if (ncols > 64 || nrows > 10'000'000) return Error::protocol("insert block too large");
  if (digest.hashes.size() < ncols) digest.hashes.resize(ncols, 0xCBF29CE484222325ull);
  for (uint64_t c = 0; c < ncols; ++c) {
    TW_ASSIGN_OR_RETURN(auto name, wire::read_string(in));
    TW_ASSIGN_OR_RETURN(auto type, wire::read_string(in));
    if (flag) TW_TRY(in.skip(1));
    uint64_t& h = digest.hashes[c];
    if (type == "UInt64" || type == "Float64" || type == "DateTime") {
      const size_t width = type == "DateTime" ? 4 : 8;
      uint8_t value[8];
      for (uint64_t i = 0; i < nrows; ++i) {
        TW_TRY(in.read_exact(value, width));
        Digest::mix(h, value, width);
      }
    } else if (type == "String") {
      for (uint64_t i = 0; i < nrows; ++i) TW_TRY(hash_string(in, h, true));
    } else if (type == "Nullable(String)") {
      std::vector<uint8_t> nulls(nrows);
      TW_TRY(in.read_exact(nulls.data(), nrows));
      Digest::mix(h, nulls.data(), nulls.size());
      for (uint64_t i = 0; i < nrows; ++i) TW_TRY(hash_string(in, h, nulls[i] == 0));
    } else {
      return Error::protocol("insert column of unexpected type " + type);
    }
  }
  digest.rows += nrows;
  return std::pair{nrows, ncols};
}

// ---- the connection -----------------------------------------------------------------------------

class SocketSource final : public ByteSource {
 public:
  explicit SocketSource(int fd) : fd_(fd), buf_(1 << 20) {}

 protected:
  Result<size_t> refill() override {
    ssize_t n;
    do {
      n = ::recv(fd_, buf_.data(), buf_.capacity(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Error::io(tarnwick::base::IoError::from_errno(errno));
    pos_ = buf_.data();
    end_ = pos_ + n;
    return static_cast<size_t>(n);
  }

 private:
  int fd_;
  ByteBuffer buf_;
};

bool send_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

struct Shared {
  uint64_t revision_cap = tarnwick::sync::kMaxRevision;
  std::mutex mutex;
  std::map<std::tuple<std::string, size_t, bool, bool>, std::shared_ptr<ByteBuffer>> answers;
  std::string last_insert = "none";
};

ByteBuffer server_hello(uint64_t n) {
  ByteBuffer out;
  out.push_back(code(ServerPacket::Hello));
  wire::write_string(out, std::string_view("ClickHouse"));
  wire::write_varint(out, 24);
  wire::write_varint(out, 8);
  wire::write_varint(out, n);
  if (n >= wire::kRevisionWithReplicasVersion)
    wire::write_varint(out, 7);  // parallel replicas protocol
  wire::write_string(out, std::string_view("UTC"));
  wire::write_string(out, std::string_view("replay"));
  wire::write_varint(out, 1);  // version patch
  if (n >= wire::kRevisionWithChunkedPackets) {
    wire::write_string(out, std::string_view("notchunked"));
    wire::write_string(out, std::string_view("notchunked"));
  }
  if (n >= wire::kRevisionWithPasswordComplexityRules)
    wire::write_varint(out, 0);  // password rules
  if (n >= wire::kRevisionWithNonce) wire::write_fixed<uint64_t>(out, 0x0123456789ABCDEFull);
  if (n >= wire::kRevisionWithServerSettings)
    wire::write_string(out, std::string_view(""));  // server settings
  if (n >= wire::kRevisionWithVersion54477) wire::write_varint(out, 0);
  if (n >= wire::kRevisionWithVersion54479) wire::write_varint(out, 6);
  return out;
}

Status skip_varints(ByteSource& in, int count) {
  for (int i = 0; i < count; ++i) {
    TW_ASSIGN_OR_RETURN([[maybe_unused]] uint64_t v, wire::read_varint(in));
  }
  return {};
}

Status skip_strings(ByteSource& in, int count) {
  for (int i = 0; i < count; ++i) {
    TW_ASSIGN_OR_RETURN([[maybe_unused]] auto s, wire::read_string_bytes(in));
  }
  return {};
}

Status handshake(SocketSource& in, int fd, uint64_t cap, uint64_t& n) {
  TW_ASSIGN_OR_RETURN(uint64_t type, wire::read_varint(in));
  if (type != code(ClientPacket::Hello)) return Error::protocol("expected client Hello");
  TW_TRY(skip_strings(in, 1));  // client name
  TW_TRY(skip_varints(in, 2));  // version
  TW_ASSIGN_OR_RETURN(uint64_t revision, wire::read_varint(in));
  TW_TRY(skip_strings(in, 3));  // database, user, password
  n = std::min(revision, cap);
  const ByteBuffer hello = server_hello(n);
  if (!send_all(fd, hello.span())) return Error::protocol("send failed");
  if (n >= wire::kRevisionWithAddendum) TW_TRY(skip_strings(in, 1));        // addendum: quota key
  if (n >= wire::kRevisionWithChunkedPackets) TW_TRY(skip_strings(in, 2));  // chunked modes
  if (n >= wire::kRevisionWithReplicasVersion)
    TW_TRY(skip_varints(in, 1));  // parallel replicas protocol
  return {};
}

// Reads the rest of a Query packet and its empty Data packet: everything up to the empty block
// after the "/*end*/" mark of the query text. Returns the query text's "/*case:...*/" comment body.
Result<std::string> read_query(SocketSource& in, bool& compress) {
  std::string seen;
  for (;;) {
    TW_ASSIGN_OR_RETURN(auto chunk, in.fill_buffered());
    if (chunk.empty()) return Error::protocol("client closed inside a query");
    seen.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    in.consume(chunk.size());
    const size_t end = seen.find("/*end*/");
    const std::string_view tail(reinterpret_cast<const char*>(kEmptyBlockTail),
                                sizeof kEmptyBlockTail);
    if (end != std::string::npos && seen.size() >= end + tail.size() &&
        seen.compare(seen.size() - tail.size(), tail.size(), tail) == 0)
      break;
  }
  const size_t at = seen.find("/*case:");
  const size_t close = seen.find("*/", at);
  if (at == std::string::npos || close == std::string::npos)
    return Error::protocol("query without case");
  // The query text runs from "/*case:" to "/*end*/"; before its length varint stands the
  // compression field of the Query packet.
  const size_t text_len = seen.find("/*end*/") + 7 - at;
  const size_t prefix = text_len < 128 ? 1 : text_len < 16384 ? 2 : 3;
  if (at < prefix + 1) return Error::protocol("query without compression field");
  compress = seen[at - prefix - 1] != 0;
  return seen.substr(at + 7, close - at - 7);
}

Status serve_insert(SocketSource& in, int fd, bool flag, bool compress, Shared& shared) {
  ByteBuffer header;
  ByteBuffer answer;
  write_block(header, kMixedColumns, 0, 0, flag);
  append_data_packet(answer, header, compress);
  if (!send_all(fd, answer.span())) return Error::protocol("send failed");
  Digest digest;
  for (;;) {
    TW_ASSIGN_OR_RETURN(uint64_t type, wire::read_varint(in));
    if (type != code(ClientPacket::Data))
      return Error::protocol("expected client Data, got " + std::to_string(type));
    TW_TRY(skip_strings(in, 1));  // table name
    std::pair<uint64_t, uint64_t> shape;
    if (compress) {
      comp::DecompressingReader frames(in);
      TW_TRY(frames.start());
      TW_ASSIGN_OR_RETURN(shape, read_insert_block(frames, flag, digest));
    } else {
      TW_ASSIGN_OR_RETURN(shape, read_insert_block(in, flag, digest));
    }
    if (shape.first == 0 && shape.second == 0) break;
  }
  {
    std::lock_guard lock(shared.mutex);
    shared.last_insert = digest.text();
  }
  const uint8_t eos = code(ServerPacket::EndOfStream);
  if (!send_all(fd, {&eos, 1})) return Error::protocol("send failed");
  return {};
}

Status serve(int fd, Shared& shared) {
  SocketSource in(fd);
  uint64_t n = 0;
  TW_TRY(handshake(in, fd, shared.revision_cap, n));
  const bool flag = n >= wire::kRevisionWithCustomSerialization;
  for (;;) {
    auto chunk = in.fill_buffered();
    if (!chunk.ok() || chunk->empty()) return {};  // the client left
    TW_ASSIGN_OR_RETURN(uint64_t type, wire::read_varint(in));
    if (type == code(ClientPacket::Ping)) {
      const uint8_t pong = code(ServerPacket::Pong);
      if (!send_all(fd, {&pong, 1})) return {};
      continue;
    }
    if (type != code(ClientPacket::Query))
      return Error::protocol("unexpected client packet " + std::to_string(type));
    bool compress = false;
    TW_ASSIGN_OR_RETURN(std::string spec, read_query(in, compress));
    std::string name = spec.substr(0, spec.find(' '));
    size_t rows = 0;
    if (const size_t r = spec.find("rows:"); r != std::string::npos)
      rows = std::strtoull(spec.c_str() + r + 5, nullptr, 10);
    if (name == "insert") {
      TW_TRY(serve_insert(in, fd, flag, compress, shared));
      continue;
    }
    std::shared_ptr<ByteBuffer> answer;
    if (name == "last_insert") {
      std::vector<std::string> text;
      {
        std::lock_guard lock(shared.mutex);
        text.push_back(shared.last_insert);
      }
      static const std::vector<ColumnDef> kDigestColumns = {{"digest", "String"}};
      ByteBuffer block;
      answer = std::make_shared<ByteBuffer>();
      write_block(block, kDigestColumns, 0, 1, flag, &text);
      append_data_packet(*answer, block, compress);
      answer->push_back(code(ServerPacket::EndOfStream));
    } else if (name == "u64" || name == "mixed" || kSingleColumns.contains(name)) {
      const auto& cols = name == "u64"     ? kU64Columns
                         : name == "mixed" ? kMixedColumns
                                           : kSingleColumns.find(name)->second;
      std::lock_guard lock(shared.mutex);
      auto& slot = shared.answers[{name, rows, flag, compress}];
      if (!slot) slot = std::make_shared<ByteBuffer>(query_answer(cols, rows, flag, compress));
      answer = slot;
    } else {
      return Error::protocol("unknown case " + name);
    }
    if (!send_all(fd, answer->span())) return {};
  }
}

}  // namespace

int main(int argc, char** argv) {
  Shared shared;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view arg = argv[i];
    if (arg == "--port") port = std::atoi(argv[i + 1]);
    if (arg == "--revision") shared.revision_cap = std::strtoull(argv[i + 1], nullptr, 10);
  }
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("listen");
    return 1;
  }
  std::printf("port %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread([fd, &shared] {
      auto status = serve(fd, shared);
      if (!status.ok()) std::fprintf(stderr, "replay: %s\n", status.error().to_string().c_str());
      ::close(fd);
    }).detach();
  }
}
