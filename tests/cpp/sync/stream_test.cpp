// Query streams against the scripted server: every packet type in both framings with and without
// compression (packets split over receives and chunks), the terminal packets that leave the
// connection usable, and the failures that leave it broken.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "support/scripted_session.h"
#include "support/wire_builder.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/sync/client.h"

namespace tarnwick::sync {
namespace {

using Clock = std::chrono::steady_clock;
using Session = testing::ScriptedSession;

// Row counts of the blocks up to the end of the stream, or the error's text.
std::vector<uint64_t> read_all_of(QueryStream& stream, std::string& error, int most = 100000) {
  std::vector<uint64_t> rows;
  for (int i = 0; i < most; ++i) {
    auto next = stream.read_next_block();
    if (!next.ok()) {
      error = next.error().to_string();
      return rows;
    }
    if (!next->has_value()) return rows;
    rows.push_back((*next)->rows);
  }
  ADD_FAILURE() << "the stream never ended";
  return rows;
}

std::vector<uint64_t> read_all(QueryStream& stream, std::string& error) {
  return read_all_of(stream, error, 100);
}

TEST(QueryStream, EveryPacketInEveryFramingThenTheConnectionIsIdle) {
  const char* steps =
      "q;data:x:UInt64:;progress;slow:0.2:9:data:x:UInt64:1,2,3;pinfo;pong;totals:x:UInt64:7;"
      "log;tcols;uuids:2;pevents:n:String:a;emptypevents;tz:Europe/Berlin;ranges;readtask;mtread;"
      "slow:0.2:3:data:x:UInt64:4,5;slow:0.2:64:data:s:LowCardinality(UInt64):1,2,1;eos;"
      "q;data:x:UInt64:42;eos";
  for (const char* mode : {"chunked", "notchunked"}) {
    for (bool lz4 : {false, true}) {
      SCOPED_TRACE(std::string(mode) + (lz4 ? " lz4" : " plain"));
      Session s(steps, {{"send_mode", mode}, {"recv_mode", mode}, {"splits", "2,7"}},
                [&](ClientConfig& c) {
                  c.compression = lz4 ? compression::kMethodLz4 : kCompressionOff;
                });
      auto stream = s->start_stream("SELECT x");
      ASSERT_TRUE(stream.ok()) << stream.error().to_string();
      std::string error;
      EXPECT_EQ(read_all(*stream, error), (std::vector<uint64_t>{0, 3, 2, 3})) << error;
      EXPECT_TRUE(stream->finished());
      EXPECT_FALSE(stream->read_next_block()->has_value());  // the end again, nothing read
      stream = base::Error::protocol("dropped");             // closes its handle
      auto next = s.query();
      ASSERT_TRUE(next.ok()) << next.error().to_string();
      EXPECT_EQ(next->at(0).rows, 1u);
      s.finish();
    }
  }
}

TEST(QueryStream, FailuresLeaveTheConnectionBroken) {
  struct Case {
    const char* steps;
    const char* error;
    int timeout;     // query_timeout, seconds: how long the stream waits for bytes at a time
    bool shut_down;  // the socket is shut down from another thread while the stream waits
  };
  const Case cases[] = {
      {"q;data:x:UInt64:1;unknown:9", "protocol error: unknown packet type in stream: 9", 1, false},
      {"q;data:x:UInt64:1;rawdata:x:Foo(:1:00", "protocol error: bad type 'Foo(':", 1, false},
      // A bad block that ends the bytes received so far fails at once, not when the stall ends.
      {"q;data:x:UInt64:1;rawdata:x:Foo(:0:;stall:4", "protocol error: bad type 'Foo(':", 30,
       false},
      // An Exception cut short; the query time-out ends the wait for the rest, as it would end a
      // buffered query.
      {"q;data:x:UInt64:1;unknown:2:3c000000",
       "I/O error: timed out: the exchange took longer than query_timeout (1s)", 1, false},
      {"q;data:x:UInt64:1;stall:4", "I/O error: connection closed before the end", 30, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    Session s(c.steps, {}, [&](ClientConfig& config) {
      config.query_timeout = base::Duration::from_secs(c.timeout);
    });
    auto stream = s->start_stream("SELECT x");
    ASSERT_TRUE(stream.ok());
    auto handle = stream->shutdown_handle();
    ASSERT_TRUE(handle.ok());
    std::thread cut([&] {
      if (!c.shut_down) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      handle->shutdown_both();
    });
    const auto began = Clock::now();
    std::string error;
    EXPECT_EQ(read_all(*stream, error), std::vector<uint64_t>{1});
    cut.join();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(3));  // not the end of the stall
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_TRUE(stream->finished());
    EXPECT_FALSE(stream->read_next_block()->has_value());
    // While the stream object lives the client refuses; once it is gone the connection is broken.
    auto refused = s.query();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().to_string(),
              "protocol error: a query stream is still reading this connection; read it to its "
              "end or discard it");
    stream = base::Error::protocol("dropped");
    testing::expect_broken(s);
    s.finish(false);
  }
}

// A column type the client cannot read (an Interval's 8-byte values) ends the stream at once with
// the buffered reader's refusal, in both framings, plain and compressed: its bytes are never taken
// for anything else. Read as string lengths, the first value (1000) would ask for 488 bytes where
// 22 follow, so a stream that did so would wait for the rest until its query time-out.
TEST(QueryStream, AColumnItCannotReadEndsTheStreamAtOnce) {
  std::string values;
  for (int i = 0; i < 3; ++i) values += "e803000000000000";
  const std::string steps = "q;data:x:UInt64:1;rawdata:i:IntervalSecond:3:" + values;
  for (const char* mode : {"chunked", "notchunked"}) {
    for (bool lz4 : {false, true}) {
      SCOPED_TRACE(std::string(mode) + (lz4 ? " lz4" : " plain"));
      Session s(steps, {{"send_mode", mode}, {"recv_mode", mode}}, [&](ClientConfig& c) {
        c.compression = lz4 ? compression::kMethodLz4 : kCompressionOff;
        c.query_timeout = base::Duration::from_secs(60);
      });
      auto stream = s->start_stream("SELECT x");
      ASSERT_TRUE(stream.ok()) << stream.error().to_string();
      const auto began = Clock::now();
      std::string error;
      EXPECT_EQ(read_all(*stream, error), std::vector<uint64_t>{1});
      EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));  // not the time-out's 60 s
      EXPECT_EQ(error,
                "protocol error: streaming read unsupported for column type "
                "Other(\"IntervalSecond\")");
      EXPECT_TRUE(stream->finished());
      EXPECT_FALSE(stream->read_next_block()->has_value());
      stream = base::Error::protocol("dropped");
      testing::expect_broken(s);  // the rest of the response is never read as the next answer
      s.finish(false);
    }
  }
}

// A stream ended by a server exception leaves the session in step only when the Ping the client
// sends before its next exchange is answered by Pong; bytes the stream received past the exception
// are read first.
TEST(QueryStream, ServerExceptionIsCheckedByAPingBeforeTheNextExchange) {
  const struct {
    const char* after;
    bool idle;
  } cases[] = {
      {";ping;q;data:x:UInt64:42;eos", true},
      {";exc:101:Exc:Unexpected packet Data;exc:101:Exc:Unexpected packet "
       "Hello",
       false},
      {";stall:3", false},
  };
  for (const char* mode : {"chunked", "notchunked"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(mode) + c.after);
      Session s(std::string("q;data:x:UInt64:1;exc:62:Exc:Syntax error") + c.after,
                {{"send_mode", mode}, {"recv_mode", mode}},
                [](ClientConfig& config) { config.query_timeout = base::Duration::from_secs(1); });
      auto stream = s->start_stream("SELECT x");
      ASSERT_TRUE(stream.ok());
      std::string error;
      EXPECT_EQ(read_all(*stream, error), std::vector<uint64_t>{1});
      EXPECT_NE(error.find("Syntax error"), std::string::npos) << error;
      stream = base::Error::protocol("dropped");
      const auto began = Clock::now();
      if (c.idle) {
        auto next = s.query();
        ASSERT_TRUE(next.ok()) << next.error().to_string();
        EXPECT_EQ(next->at(0).rows, 1u);
      } else {
        testing::expect_broken(s);
      }
      EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(2500));
      s.finish(c.idle);
    }
  }
}

// Bytes that arrive behind a large packet are not moved again for every packet read: what the
// buffer moves stays below what was received, however the packets lie in it. Here a 4 MiB block
// whose last byte comes after a pause is followed by 20,000 one-row blocks sent at once.
TEST(QueryStream, PacketsQueuedBehindALargeOneAreNotMovedForEach) {
  testing::Wire big;
  big.varint(1).str("").block_head(1, 4).column("s", "String");
  for (int i = 0; i < 4; ++i) big.varint(1 << 20).fill(1 << 20, 'v');
  testing::Wire rest;
  for (int i = 0; i < 20000; ++i) {
    rest.varint(1).str("").block_head(1, 1).column("c", "UInt8").bytes({7});
  }
  rest.varint(5);  // EndOfStream
  for (bool chunked : {false, true}) {
    SCOPED_TRACE(chunked ? "chunked" : "plain");
    // Chunked, each part goes as one chunk.
    auto framed = [&](std::span<const uint8_t> part) {
      std::vector<uint8_t> out;
      if (chunked) {
        const uint32_t n = static_cast<uint32_t>(part.size());
        out.resize(4);
        std::memcpy(out.data(), &n, 4);
      }
      out.insert(out.end(), part.begin(), part.end());
      return out;
    };
    const std::span<const uint8_t> whole(big.get());
    std::vector<uint8_t> last = framed(whole.last(1));
    const std::vector<uint8_t> queued = framed(rest.get());
    last.insert(last.end(), queued.begin(), queued.end());
    const std::vector<uint8_t> first = framed(whole.first(whole.size() - 1));
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Socket server(fds[1]);
    std::thread send([&] {
      auto send_all = [&](const std::vector<uint8_t>& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
          const ssize_t n = ::send(server.fd(), bytes.data() + sent, bytes.size() - sent, 0);
          if (n <= 0) return;
          sent += static_cast<size_t>(n);
        }
      };
      send_all(first);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      send_all(last);
    });
    StreamSettings settings;
    settings.revision = 54483;
    settings.recv_chunked = chunked;
    QueryStream stream(Transport::new_plain(Socket(fds[0])), {}, {}, settings,
                       std::make_shared<StreamLink>());
    std::string error;
    const std::vector<uint64_t> rows = read_all_of(stream, error);
    send.join();
    EXPECT_TRUE(error.empty()) << error;
    ASSERT_EQ(rows.size(), 20001u);
    EXPECT_EQ(rows.front(), 4u);
    EXPECT_LE(stream.bytes_moved(), first.size() + last.size());
  }
}

// The response's end and an abandonment (a discard on another thread) are decided once: the first
// to leave Reading wins, and the loser changes nothing.
TEST(StreamLink, TheEndAndAnAbandonmentAreDecidedOnce) {
  StreamLink ended;
  ended.set_ended();
  EXPECT_FALSE(ended.abandon());
  EXPECT_EQ(ended.state(), StreamLink::State::Ended);
  StreamLink abandoned;
  EXPECT_TRUE(abandoned.abandon());
  abandoned.set_ended();
  EXPECT_TRUE(abandoned.abandon());  // abandoned still, as a second discard finds it
  EXPECT_EQ(abandoned.state(), StreamLink::State::Abandoned);
  for (int i = 0; i < 2000; ++i) {
    StreamLink link;
    bool won = false;
    std::thread end([&] { link.set_ended(); });
    std::thread discard([&] { won = link.abandon(); });
    end.join();
    discard.join();
    ASSERT_EQ(link.state(), won ? StreamLink::State::Abandoned : StreamLink::State::Ended);
  }
}

}  // namespace
}  // namespace tarnwick::sync
