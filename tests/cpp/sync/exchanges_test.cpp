// Exchanges of a connected client against the scripted server: the packet loops, the response
// limit and its cancel, time-outs, inserts, ping, table status, settings and schemas, and the
// rule that a connection whose exchange failed midway refuses every later one.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_session.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/sync/client.h"

namespace tarnwick::sync {
namespace {

using base::ErrorKind;
using base::IoKind;
using protocol::Block;
using testing::Args;
using testing::Bytes;
using Session = testing::ScriptedSession;
using testing::expect_broken;
using Clock = std::chrono::steady_clock;

bool contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// Every packet a query response may carry, in both framings and with and without compression;
// afterwards the connection is aligned on the next packet (a Ping is answered).
const char* kEveryPacket =
    "q;data:x:UInt64:;progress;pinfo;pong;totals:x:UInt64:7;extremes:x:UInt64:1,9;log;tcols;"
    "uuids:2;pevents:n:String:a;emptypevents;tz:Europe/Berlin;ranges;readtask;mtread;"
    "data:x:UInt64:1,2,3;rawdata:n:Nullable(Nothing):2:01010000;eos;"
    "q;data:x:UInt64:5,6;emptypevents;totals:x:UInt64:7;log;eos;ping";

TEST(Exchanges, EveryPacketTypeInQueryAndRowCountLoops) {
  for (const char* mode : {"chunked", "notchunked"}) {
    for (bool lz4 : {false, true}) {
      SCOPED_TRACE(std::string(mode) + (lz4 ? " lz4" : " plain"));
      Session s(kEveryPacket, {{"send_mode", mode}, {"recv_mode", mode}}, [&](ClientConfig& c) {
        c.compression = lz4 ? compression::kMethodLz4 : kCompressionOff;
      });
      auto blocks = s.query();
      ASSERT_TRUE(blocks.ok()) << blocks.error().to_string();
      ASSERT_EQ(blocks->size(), 3u);  // the header block, the values and SELECT NULL's block
      EXPECT_EQ((*blocks)[0].rows, 0u);
      EXPECT_EQ((*blocks)[1].rows, 3u);
      EXPECT_EQ((*blocks)[2].rows, 2u);
      auto st = s->execute_with_params_settings_and_ignored_part_uuids("SELECT 1", {}, nullptr, {});
      EXPECT_TRUE(st.ok()) << st.error().to_string();
      auto ping = s->ping();
      EXPECT_TRUE(ping.ok()) << ping.error().to_string();
      s.finish();
    }
  }
}

TEST(Exchanges, FailuresMidResponseBreakTheConnection) {
  struct Case {
    const char* steps;
    const char* message;  // empty: any error
    int64_t query_timeout_ms;
    const char* mode = "chunked_optional";  // of the server's sends
  };
  const Case cases[] = {
      {"q;unknown:9;data:x:UInt64:4;eos", "protocol error: unknown packet type: 9", 5000},
      {"q;unknown:0;eos", "protocol error: unknown packet type: 0", 5000},
      {"q;unknown:300;eos", "protocol error: unknown packet type: 300", 5000},
      {"q;data:x:Foo(:1;eos", "", 5000},  // an undecodable block
      // The query time-out bounds the whole response, however it is cut up: between packets,
      // inside a chunk and inside a packet that arrives a byte at a time.
      {"q;data:x:UInt64:1;stall:0.7;progress;stall:0.7;progress;data:x:UInt64:2;eos",
       "protocol error: response read timed out", 1000},
      {"q;data:x:UInt64:1;stall:1.8;data:x:UInt64:2;eos", "protocol error: response read timed out",
       1000},
      {"q;trickle:0.2:data:x:UInt64:1,2,3;eos", "protocol error: response read timed out", 1000,
       "chunked"},
      {"q;trickle:0.2:data:x:UInt64:1,2,3;eos",
       "I/O error: timed out: the exchange took longer than query_timeout (1s)", 1000,
       "notchunked"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    Session s(std::string(c.steps) + ";q;data:x:UInt64:42;eos", {{"send_mode", c.mode}},
              [&](ClientConfig& config) {
                config.query_timeout = base::Duration::from_millis(c.query_timeout_ms);
              });
    const auto began = Clock::now();
    auto first = s.query();
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(c.query_timeout_ms + 2000));
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error().to_string().rfind(c.message, 0), 0u) << first.error().to_string();
    expect_broken(s);
    s.finish(false);
  }
}

TEST(Exchanges, ResponseLimitCancelsAndDrains) {
  static constexpr const char* kThreeBlocks =
      "data:x:UInt64:;data:x:UInt64:1,2,3;data:x:UInt64:4,5,6";
  struct Case {
    size_t limit;
    const char* after;  // what the server sends after the Cancel
    bool usable;        // the connection after the call
    int timeout_s;      // query time-out; the drain waits at most min(it, 5 s)
    uint64_t decoded;   // of the refusal
    // The answer's Data blocks: by default a header block of no decoded bytes (kept under 0) and
    // two blocks of 24 each.
    const char* blocks = kThreeBlocks;
    const char* mode = "chunked";
    bool lz4 = false;
  };
  const char* one_block = "data:x:UInt64:1,2,3";
  // 10,000,000 rows of Tuple(): no bytes, a floor of 8 each against an allowance of 16 MiB.
  const char* held_block = "rawdata:t:Tuple():10000000:";
  // 'ab', 42, NULL: the mode word, the discriminators, then each member's rows (22 bytes kept).
  const std::string variant_block =
      "rawdata:v:Variant(String, UInt64):3:0000000000000000"
      "0001ff"
      "026162"
      "2a00000000000000";
  // 7, NULL, 'x', 'y' in the Dynamic types Int64 and LowCardinality(String): the prefix (its
  // version, the type names, the dictionary's key version), the discriminators (2 is NULL), then
  // each type's rows, the LowCardinality dictionary-encoded.
  const std::string dynamic_block =
      "rawdata:d:Dynamic:4:0200000000000000"
      "02"
      "05496e743634"
      "164c6f7743617264696e616c69747928537472696e6729"
      "0100000000000000"
      "00020101"
      "0700000000000000"
      "0006000000000000"
      "0200000000000000"
      "01780179"
      "0200000000000000"
      "0001";
  const std::string both = variant_block + ";" + dynamic_block;
  const std::string drain_both = "cancel;" + both + ";data:x:UInt64:9;" + both + ";eos";
  const std::string drain_dynamic = "cancel;" + dynamic_block + ";eos";
  // One row of 50,000 elements of 1,000 members of Tuple(): 8 bytes on the wire, 400,400,000 held.
  std::string members = "Tuple()";
  for (int i = 1; i < 1000; ++i) members += ", Tuple()";
  const std::string elements = "rawdata:a:Array(Tuple(" + members + ")):1:50c3000000000000";
  const uint64_t elements_held = 128 + 256 + 1 + 9012 + 400400000;
  const Case cases[] = {
      {48, "eos", true, 30, 0},
      {47, "cancel;data:x:UInt64:9;eos", true, 30, 48},
      {0, "cancel;exc:394:DB::Exception:Query was cancelled", false, 30, 24},
      {47, "cancel;slow:7:12:data:x:UInt64:9", false, 30, 48},  // stalls inside a packet
      {47, "cancel;slow:4:12:data:x:UInt64:9", false, 2, 48},
      // One block crosses the limit alone: it is walked to its end, counted whole, and the answer
      // is drained.
      {1, "cancel;data:x:UInt64:9;eos", true, 30, 24, one_block},
      {12, "cancel;eos", true, 30, 24, one_block, "notchunked"},
      {23, "cancel;eos", true, 30, 24, one_block, "chunked", true},
      {1, "cancel;eos", true, 30, 24, one_block, "notchunked", true},
      {23, "cancel;eos", true, 30, 28, "data:x:UInt64:;data:s:String:abc;data:x:UInt64:1,2,3"},
      {0, "cancel;eos", true, 30, 80000392, held_block, "notchunked", true},
      {0, "cancel;eos", true, 30, 80000392, held_block},
      // Variant and Dynamic blocks are stepped over in the drain, and walked past when one alone
      // crosses the limit.
      {47, drain_both.c_str(), true, 30, 48},
      {47, drain_both.c_str(), true, 30, 48, kThreeBlocks, "notchunked", true},
      {21, drain_dynamic.c_str(), true, 30, 22, variant_block.c_str()},
      {8, "cancel;eos", true, 30, elements_held, elements.c_str(), "notchunked", true},
      {8, "cancel;eos", true, 30, elements_held, elements.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.blocks) + " " + c.mode + (c.lz4 ? " lz4 " : " ") + c.after);
    Session s(std::string("q;") + c.blocks + ";" + c.after + ";ping;q;" + both +
                  ";eos;q;data:x:UInt64:;eos;q;data:x:UInt64:7,8;eos",
              {{"send_mode", c.mode}, {"recv_mode", c.mode}}, [&](ClientConfig& config) {
                config.max_response_size = c.limit;
                config.query_timeout = base::Duration::from_secs(c.timeout_s);
                config.compression = c.lz4 ? compression::kMethodLz4 : kCompressionOff;
              });
    auto began = Clock::now();
    auto r = s.query();
    auto took = Clock::now() - began;
    if (c.limit == 48) {
      ASSERT_TRUE(r.ok()) << r.error().to_string();
      EXPECT_EQ(r->size(), 3u);
    } else {
      ASSERT_FALSE(r.ok());
      ASSERT_EQ(r.error().kind(), ErrorKind::ResponseTooLarge) << r.error().to_string();
      EXPECT_EQ(r.error().decoded(), c.decoded) << r.error().to_string();
      EXPECT_EQ(r.error().limit(), c.decoded > (16 << 20) ? 16u << 20 : c.limit);
      EXPECT_LT(took, std::chrono::milliseconds(std::min(c.timeout_s, 5) * 1000 + 1000));
    }
    EXPECT_EQ(s->ping().ok(), c.usable);
    EXPECT_EQ(s->broken(), !c.usable);
    if (c.usable) {
      // The same client runs a statement whose answer holds Variant and Dynamic blocks, then
      // answers the next query (a header block, kept under any limit) and the next stream.
      auto run =
          s->execute_with_params_settings_and_ignored_part_uuids("SELECT v", {}, nullptr, {});
      ASSERT_TRUE(run.ok()) << run.error().to_string();
      auto next = s.query();
      ASSERT_TRUE(next.ok()) << next.error().to_string();
      EXPECT_EQ(next->size(), 1u);
      auto stream = s->start_stream("SELECT x");
      ASSERT_TRUE(stream.ok()) << stream.error().to_string();
      auto block = stream->read_next_block();
      ASSERT_TRUE(block.ok()) << block.error().to_string();
      ASSERT_TRUE(block->has_value());
      EXPECT_EQ((*block)->rows, 2u);
      EXPECT_FALSE(stream->read_next_block()->has_value());
    }
    Bytes sent = s.finish(c.usable);
    if (c.limit != 48 && std::string_view(c.mode) == "chunked") {
      EXPECT_TRUE(contains(sent, {1, 0, 0, 0, 3, 0, 0, 0, 0}));  // Cancel, chunked
    }
  }
}

TEST(Exchanges, TablesStatusIsReadAtTheNegotiatedRevision) {
  for (const char* revision : {"54483", "54466"}) {
    SCOPED_TRACE(revision);
    Session s("status", {{"revision", revision}});
    const QualifiedTableName names[] = {{"db", "t"}, {"db", "u"}};
    auto status = s->tables_status(names);
    ASSERT_TRUE(status.ok()) << status.error().to_string();
    ASSERT_EQ(status->size(), 2u);
    const TableStatus& t = status->at(names[0]);
    EXPECT_TRUE(t.is_replicated);
    EXPECT_EQ(t.absolute_delay, 5u);
    EXPECT_EQ(t.is_readonly, std::string(revision) == "54483");
    s.finish();
  }
}

TEST(Exchanges, ZstdRefusesEveryDataSendBeforeWriting) {
  Session s("ping");
  s->config().compression = compression::kMethodZstd;
  auto q = s.query();
  ASSERT_FALSE(q.ok());
  EXPECT_EQ(q.error().kind(), ErrorKind::Compression);
  EXPECT_EQ(s->begin_insert("INSERT INTO t VALUES").error().kind(), ErrorKind::Compression);
  s->config().compression = kCompressionOff;
  EXPECT_TRUE(s->ping().ok());  // nothing was written: the server saw only the Ping
  s.finish();
}

Block uint8_block(const char* name, const char* type) {
  Block b;
  b.rows = 2;
  b.columns.push_back({name, type, base::Bytes::copy_of(Bytes{1, 2}), {}});
  return b;
}

TEST(Exchanges, InsertRefusalsAndEnd) {
  for (const char* mode : {"notchunked", "chunked"}) {
    for (bool lz4 : {false, true}) {
      SCOPED_TRACE(std::string(mode) + (lz4 ? " lz4" : ""));
      Session s(
          "q;describe:x=UInt8;eos;q;progress;pevents:n:String:a;data:x:UInt8:;insert;eos;ping",
          {{"send_mode", mode}, {"recv_mode", mode}}, [&](ClientConfig& c) {
            c.compression = lz4 ? compression::kMethodLz4 : kCompressionOff;
            c.validate_schema = true;
          });
      ASSERT_TRUE(s->schema_for_table("t").ok());
      ASSERT_TRUE(s->begin_insert("INSERT INTO t VALUES").ok());
      EXPECT_FALSE(s.query().ok());  // refused inside the insert, nothing written
      auto bad = s->send_data("t", uint8_block("x", "String"));
      EXPECT_EQ(
          bad.error().to_string(),
          "protocol error: insert block for t column 'x' has type 'String', expected 'UInt8'");
      auto miss = s->send_data("other", uint8_block("x", "UInt8"));
      EXPECT_EQ(miss.error().kind(), ErrorKind::Protocol);  // a schema fetch would run mid-insert
      auto sent_ok = s->send_data("t", uint8_block("x", "UInt8"));
      ASSERT_TRUE(sent_ok.ok()) << sent_ok.error().to_string();
      auto end = s->end_insert();
      ASSERT_TRUE(end.ok()) << end.error().to_string();
      EXPECT_TRUE(s->ping().ok());
      s.finish();  // the server decoded and checked the insert
    }
  }
}

// Servers below revision 54454 read an insert's columns by name with the table's own types,
// unchecked: each block is checked against the table structure they send first, and a refused one
// ends the insert with a Cancel before any of its data is sent. Newer servers check the data
// themselves: it goes out as it is.
TEST(Exchanges, InsertBlocksAreCheckedAgainstTheTableStructureOfOlderServers) {
  const Block good = uint8_block("x", "UInt8");
  Block mistyped = uint8_block("x", "String");
  mistyped.columns[0].data = base::Bytes::copy_of(Bytes{0, 0});  // two empty strings
  const Block unknown = uint8_block("y", "UInt8");
  for (const char* revision : {"54412", "54453", "54454"}) {
    SCOPED_TRACE(revision);
    const bool checked = std::string(revision) < "54454";
    const std::string end = checked ? "cancel;eos;" : "insert;eos;";
    Session s("q;data:x:UInt8:;" + end + "q;data:x:UInt8:;" + end + "ping",
              {{"revision", revision}});
    const std::vector<Block> blocks{good, mistyped};
    base::Status whole = s->insert("INSERT INTO t VALUES", "t", blocks);
    ASSERT_TRUE(s->begin_insert("INSERT INTO t VALUES").ok());
    base::Status streamed = s->send_data("", unknown);
    if (checked) {
      EXPECT_EQ(whole.error().to_string(),
                "protocol error: insert block for t column 'x' has type 'String', the table's is "
                "'UInt8'");
      EXPECT_EQ(streamed.error().to_string(),
                "protocol error: insert block column 'y' is not among the insert's columns");
      EXPECT_FALSE(s->insert_open());
    } else {
      EXPECT_TRUE(whole.ok() && streamed.ok());
      EXPECT_TRUE(s->end_insert().ok());
    }
    EXPECT_TRUE(s->ping().ok());
    // No block of a refused insert reached the server.
    EXPECT_EQ(contains(s.finish(), Bytes{'S', 't', 'r', 'i', 'n', 'g'}), !checked);
  }
}

// A UInt8 block of `rows` bytes that no compression shrinks.
Block incompressible_block(size_t rows) {
  Bytes body(rows);
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (uint8_t& byte : body) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<uint8_t>(state >> 32);
  }
  Block b;
  b.rows = rows;
  b.columns.push_back({"x", "UInt8", base::Bytes::copy_of(body), {}});
  return b;
}

// Waits (bounded) until the connection's socket has seen the server's reset.
void wait_for_reset(Session& s) {
  const auto until = Clock::now() + std::chrono::seconds(5);
  pollfd pfd{s->transport().socket().fd(), POLLIN, 0};
  while (Clock::now() < until) {
    pfd.revents = 0;
    if (::poll(&pfd, 1, 10) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the server's reset never arrived";
}

// A server that refuses an insert's data sends its exception and closes the connection, leaving
// the client's later blocks unread, so the kernel resets it: the client's next write fails. The
// insert reports the exception the server sent before that, or the write's I/O error when it sent
// none; the connection is broken either way.
TEST(Exchanges, InsertRefusedByTheServerMidDataSaysWhy) {
  const char* kRefusal = "exc:6:Exc:Cannot parse string 'bad7' as UInt8;";
  // Far more than the socket buffers of both ends hold: some write must meet the reset.
  std::vector<Block> blocks{uint8_block("x", "UInt8")};
  for (int i = 0; i < 8; ++i) blocks.push_back(incompressible_block(size_t{4} << 20));
  for (const char* mode : {"notchunked", "chunked"}) {
    for (bool lz4 : {false, true}) {
      for (bool refused : {true, false}) {
        SCOPED_TRACE(std::string(mode) + (lz4 ? " lz4" : "") + (refused ? " refused" : " closed"));
        Session s(std::string("q;data:x:UInt8:;block;") + (refused ? kRefusal : "") + "close",
                  {{"send_mode", mode}, {"recv_mode", mode}}, [&](ClientConfig& c) {
                    c.compression = lz4 ? compression::kMethodLz4 : kCompressionOff;
                  });
        const auto began = Clock::now();
        base::Status failed = s->insert("INSERT INTO t VALUES", "", blocks);
        EXPECT_LT(Clock::now() - began, std::chrono::seconds(4));
        ASSERT_FALSE(failed.ok());
        if (refused) {
          ASSERT_EQ(failed.error().kind(), ErrorKind::Server) << failed.error().to_string();
          EXPECT_EQ(failed.error().server_code(), 6);
          EXPECT_NE(failed.error().to_string().find("Cannot parse string 'bad7' as UInt8"),
                    std::string::npos)
              << failed.error().to_string();
        } else {
          EXPECT_EQ(failed.error().kind(), ErrorKind::Io) << failed.error().to_string();
        }
        expect_broken(s);
        s.finish();
      }
    }
  }
  // The empty block that ends the data meets the reset alike.
  Session s(std::string("q;data:x:UInt8:;block;") + kRefusal + "close:reset");
  ASSERT_TRUE(s->begin_insert("INSERT INTO t VALUES").ok());
  ASSERT_TRUE(s->send_data("", uint8_block("x", "UInt8")).ok());
  wait_for_reset(s);
  base::Status failed = s->end_insert();
  ASSERT_FALSE(failed.ok());
  ASSERT_EQ(failed.error().kind(), ErrorKind::Server) << failed.error().to_string();
  EXPECT_EQ(failed.error().server_code(), 6);
  expect_broken(s);
  s.finish();
}

// Under a limit of 0 only Data blocks whose bodies are all empty are kept; the blocks beside the
// data and an insert's table structure are held to a bound of their own.
TEST(Exchanges, BlocksBesideTheDataAreNotHeldToTheResponseLimit) {
  Session s(
      "q;data:x:UInt64:;totals:x:UInt64:1,2;extremes:x:UInt64:3;pevents:n:String:a;"
      "data:x:UInt64:;eos;q;progress;data:x:UInt8:;insert;eos;ping",
      {}, [](ClientConfig& c) { c.max_response_size = 0; });
  auto r = s.query();
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->size(), 2u);
  auto begun = s->begin_insert("INSERT INTO t VALUES");
  ASSERT_TRUE(begun.ok()) << begun.error().to_string();
  ASSERT_TRUE(s->send_data("", uint8_block("x", "UInt8")).ok());
  ASSERT_TRUE(s->end_insert().ok());
  EXPECT_TRUE(s->ping().ok());
  s.finish();
}

TEST(Exchanges, InsertStartFailures) {
  // A response that ended cleanly leaves the connection idle; an unknown packet breaks it.
  const struct {
    const char* steps;
    const char* message;
    bool idle;
  } cases[] = {
      {"q;progress;eos;ping", "protocol error: unexpected EndOfStream before insert data", true},
      // Older servers answer INSERT ... SELECT with an empty header block first.
      {"q;emptydata;progress;eos;ping", "protocol error: unexpected EndOfStream before insert data",
       true},
      {"q;unknown:9", "protocol error: unknown packet type while starting insert: 9", false},
  };
  for (const auto& c : cases) {
    Session s(c.steps);
    EXPECT_EQ(s->begin_insert("INSERT INTO t VALUES").error().to_string(), c.message);
    EXPECT_EQ(s->broken(), !c.idle);
    if (c.idle) {
      EXPECT_EQ(s->send_data("", uint8_block("x", "UInt8")).error().to_string(),
                "protocol error: no insert in progress; call begin_insert first");
      EXPECT_TRUE(s->ping().ok());
    } else {
      EXPECT_TRUE(s->send_data("", uint8_block("x", "UInt8")).error().is_io(IoKind::NotConnected));
    }
    s.finish(c.idle);
  }
}

// A server may raise an error before it reads the data that follows a query, and then answer
// those bytes as packets of their own. After every server exception that ends an exchange begun
// with a Query packet one Ping must be answered by Pong before the connection is idle again;
// further exceptions, or silence past the query time-out, leave it broken. The failing call
// reports the first exception.
TEST(Exchanges, ServerExceptionAfterAQueryIsFollowedByAPing) {
  using Call = std::function<base::Status(Session&)>;
  auto status = [](auto result) {
    return result.ok() ? base::Status{} : base::Status(std::move(result).error());
  };
  const Block one = uint8_block("x", "UInt8");  // built before the clock starts
  const struct {
    const char* name;
    const char* before;  // the server's steps up to its exception
    Call call;
  } calls[] = {
      {"query", "q", [&](Session& s) { return status(s.query()); }},
      {"execute", "q",
       [](Session& s) {
         return s->execute_with_params_settings_and_ignored_part_uuids("SELEC 1", {}, nullptr, {});
       }},
      {"schema", "q", [&](Session& s) { return status(s->schema_for_table("t")); }},
      {"begin_insert", "q", [](Session& s) { return s->begin_insert("INSERT INTO t VALUES"); }},
      {"end_insert", "q;data:x:UInt8:;insert",
       [&](Session& s) {
         EXPECT_TRUE(s->begin_insert("INSERT INTO t VALUES").ok());
         EXPECT_TRUE(s->send_data("", one).ok());
         return s->end_insert();
       }},
  };
  const char* kError = ";exc:62:Exc:Syntax error";
  const struct {
    const char* after;
    bool idle;
  } answers[] = {
      {";ping;q;data:x:UInt64:42;eos", true},
      {";exc:101:Exc:Unexpected packet Data;exc:101:Exc:Unexpected packet Hello", false},
      {";stall:3", false},  // no answer within the query time-out
  };
  for (const auto& call : calls) {
    for (const auto& answer : answers) {
      SCOPED_TRACE(std::string(call.name) + answer.after);
      Session s(std::string(call.before) + kError + answer.after, {},
                [](ClientConfig& c) { c.query_timeout = base::Duration::from_secs(1); });
      const auto began = Clock::now();
      base::Status failed = call.call(s);
      EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(2500));
      ASSERT_FALSE(failed.ok());
      ASSERT_EQ(failed.error().kind(), ErrorKind::Server) << failed.error().to_string();
      EXPECT_EQ(failed.error().server_code(), 62);
      EXPECT_EQ(s->broken(), !answer.idle);
      if (answer.idle) {
        auto next = s.query();
        ASSERT_TRUE(next.ok()) << next.error().to_string();
        EXPECT_EQ(next->at(0).rows, 1u);
      } else {
        expect_broken(s);
      }
      s.finish(answer.idle);
    }
  }
}

TEST(Exchanges, SchemaCacheIsClearedByExecuteOfSchemaChanges) {
  Session s("q;describe:a=UInt8,b=String;eos;q;eos;q;eos;q;describe:a=UInt16;eos");
  ASSERT_EQ(s->schema_for_table("t")->columns.size(), 2u);
  ASSERT_EQ(s->schema_for_table("t")->columns.size(), 2u);  // cached: no second DESCRIBE
  ASSERT_TRUE(s.query("DROP TABLE t").ok());                // query leaves the cache alone
  EXPECT_EQ(s->schema_cache().size(), 1u);
  ASSERT_TRUE(
      s->execute_with_params_settings_and_ignored_part_uuids("drop table t", {}, nullptr, {}).ok());
  EXPECT_EQ(s->schema_cache().size(), 0u);
  auto again = s->schema_for_table("t");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->columns[0].type_name, "UInt16");
  Bytes sent = s.finish();
  const std::string describe = "DESCRIBE TABLE `t`";
  EXPECT_TRUE(contains(sent, Bytes(describe.begin(), describe.end())));
}

}  // namespace
}  // namespace tarnwick::sync
