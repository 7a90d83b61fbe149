#include "tarnwick/compression/decompressing_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "compression/frame_fixtures.h"
#include "support/golden_blocks.h"
#include "support/sources.h"
#include "tarnwick/compression/frame.h"

namespace tarnwick::compression {
namespace {

using base::Status;
using testing::append;
using testing::Blob;
using testing::OneByteSource;
using testing::pattern;
using testing::raw_frame;

const std::string kChecksumMismatch =
    "compressed response: compression error: compression frame checksum mismatch (CityHash128) "
    "\u2014 corruption suspected";

Blob frame_of(const Blob& payload, uint8_t method) {
  auto r = encode_frame(payload, method);
  EXPECT_TRUE(r.ok());
  return Blob(r->data(), r->data() + r->size());
}

struct Body {
  Blob wire;
  Blob decoded;
  void add(const Blob& payload, uint8_t method) {
    append(wire, frame_of(payload, method));
    append(decoded, payload);
  }
};

Body sample_body() {
  Body body;
  body.add(pattern(100, 1), kMethodLz4);
  body.add({}, kMethodNone);
  body.add(pattern(5, 2), kMethodNone);
  body.add({}, kMethodLz4);
  body.add(Blob(70000, 'z'), kMethodLz4);
  body.add(pattern(3000, 3), kMethodNone);
  body.add(pattern(20000, 4), kMethodLz4);
  return body;
}

// Reads everything in steps of `step` bytes (0: all at once), then expects the end.
Blob read_all(base::ByteSource& inner, size_t total, size_t step) {
  DecompressingReader reader(inner);
  Status s = reader.start();
  EXPECT_TRUE(s.ok()) << s.error().to_string();
  Blob out(total);
  size_t done = 0;
  while (done < total) {
    size_t n = step == 0 ? total : std::min(step, total - done);
    s = reader.read_exact(out.data() + done, n);
    EXPECT_TRUE(s.ok()) << s.error().to_string();
    if (!s.ok()) break;
    done += n;
  }
  auto end = reader.read_u8();
  EXPECT_FALSE(end.ok());
  if (!end.ok()) {
    EXPECT_EQ(end.error().to_string(), "I/O error: failed to fill whole buffer");
  }
  return out;
}

TEST(DecompressingReaderTest, DeliversConsecutiveFramesInAnyReadPattern) {
  Body body = sample_body();
  for (size_t step : {0, 1, 99}) {
    base::MemorySource mem(body.wire);
    EXPECT_EQ(read_all(mem, body.decoded.size(), step), body.decoded) << step;
    OneByteSource one(body.wire);
    EXPECT_EQ(read_all(one, body.decoded.size(), step), body.decoded) << step;
  }
  base::MemorySource mem(body.wire);
  DecompressingReader reader(mem);
  ASSERT_TRUE(reader.start().ok());
  ASSERT_TRUE(reader.skip(body.decoded.size() - 10).ok());
  Blob tail(10);
  ASSERT_TRUE(reader.read_exact(tail.data(), 10).ok());
  EXPECT_EQ(tail, Blob(body.decoded.end() - 10, body.decoded.end()));
  EXPECT_EQ(reader.decoded_total(), body.decoded.size());
}

TEST(DecompressingReaderTest, PassesUnframedBodiesThrough) {
  Blob unknown_method = pattern(500);
  unknown_method[16] = 0x00;
  Blob small_size = pattern(500);
  small_size[16] = kMethodLz4;
  small_size[17] = 8;
  small_size[18] = small_size[19] = small_size[20] = 0;
  for (const Blob& body : {unknown_method, small_size}) {
    for (size_t step : {0, 1}) {
      base::MemorySource mem(body);
      EXPECT_EQ(read_all(mem, body.size(), step), body);
      OneByteSource one(body);
      EXPECT_EQ(read_all(one, body.size(), step), body);
    }
    OneByteSource one(body);
    DecompressingReader reader(one);
    ASSERT_TRUE(reader.start().ok());
    EXPECT_TRUE(reader.passthrough());
    ASSERT_TRUE(reader.skip(body.size()).ok());
    EXPECT_EQ(reader.decoded_total(), 0u);
  }
}

TEST(DecompressingReaderTest, PendingBytesAreTheUnreadRest) {
  Body body;
  body.add(pattern(50), kMethodLz4);
  Blob after = {9, 9, 9};
  append(body.wire, after);
  base::MemorySource mem(body.wire);
  DecompressingReader reader(mem);
  ASSERT_TRUE(reader.start().ok());
  Blob head(20);
  ASSERT_TRUE(reader.read_exact(head.data(), 20).ok());
  base::ByteBuffer pending = std::move(reader).into_pending();
  EXPECT_EQ(Blob(pending.data(), pending.data() + pending.size()),
            Blob(body.decoded.begin() + 20, body.decoded.end()));
  EXPECT_EQ(mem.remaining(), 3u);  // bytes after the frame stay in the inner source
}

struct Failure {
  std::string text;
  base::IoKind kind;
};

Failure first_failure(base::ByteSource& inner) {
  DecompressingReader reader(inner);
  Status s = reader.start();
  for (int i = 0; s.ok() && i < 10000000; ++i) s = reader.skip(1);
  if (s.ok()) return {"no failure", base::IoKind::Other};
  EXPECT_EQ(s.error().kind(), base::ErrorKind::Io);
  return {s.error().io_error().to_string(), s.error().io_error().kind};
}

TEST(DecompressingReaderTest, MalformedFramesFailWithTheirMessages) {
  Blob good = frame_of(pattern(30), kMethodLz4);
  Blob corrupt = good;
  corrupt[40] ^= 0x10;
  Blob unknown = frame_of({1, 2, 3}, kMethodNone);
  unknown[16] = 0x00;
  testing::reseal(unknown);
  const Blob abc = {1, 2, 3};
  auto then = [&](const Blob& second) {
    Blob wire = good;
    append(wire, second);
    return wire;
  };
  using base::IoKind;
  struct Case {
    const char* name;
    Blob wire;
    std::string text;
    IoKind kind;
  } cases[] = {
      {"first frame over cap", raw_frame(kMethodLz4, 67108865, 3, abc),
       "compressed response: compressed_size 67108865 exceeds 67108864 byte frame cap",
       IoKind::InvalidData},
      {"first frame corrupt", corrupt, kChecksumMismatch, IoKind::InvalidData},
      {"first frame is zstd", raw_frame(kMethodZstd, 12, 3, abc),
       "compressed response: compression error: ZSTD decompression requested but 'zstd' feature "
       "not enabled",
       IoKind::InvalidData},
      {"later frame corrupt", then(corrupt), kChecksumMismatch, IoKind::InvalidData},
      {"later frame below header length", then(raw_frame(kMethodNone, 8, 0, {})),
       "compressed_size 8 < header length 9", IoKind::InvalidData},
      {"later frame over cap", then(raw_frame(kMethodNone, 67108865, 3, abc)),
       "compressed_size 67108865 exceeds 67108864 byte frame cap", IoKind::InvalidData},
      {"later frame with unknown method", then(unknown),
       "compressed response: compression error: unknown compression method byte: 0x00",
       IoKind::InvalidData},
      {"later frame with stored length mismatch", then(raw_frame(kMethodNone, 12, 2, abc)),
       "compressed response: compression error: decompressed length 3 != uncompressed_size 2 "
       "declared in header",
       IoKind::InvalidData},
  };
  for (const Case& c : cases) {
    base::MemorySource mem(c.wire);
    Failure f = first_failure(mem);
    EXPECT_EQ(f.text, c.text) << c.name;
    EXPECT_EQ(f.kind, c.kind) << c.name;
    OneByteSource one(c.wire);
    EXPECT_EQ(first_failure(one).text, c.text) << c.name;
  }
  std::string reply = testing::slurp_vector("tcp_numbers.bin");
  reply[55 + 3] ^= 0x10;
  base::MemorySource server(testing::as_bytes(reply).subspan(55));
  EXPECT_EQ(first_failure(server).text, kChecksumMismatch);
}

TEST(DecompressingReaderTest, EveryTruncationFailsCleanly) {
  Body body;
  body.add(pattern(40, 1), kMethodLz4);
  body.add(pattern(10, 2), kMethodNone);
  const size_t first_end = body.wire.size() - (25 + 10);
  for (size_t n = 0; n < body.wire.size(); ++n) {
    OneByteSource one(std::span(body.wire).first(n));
    Failure f = first_failure(one);
    if (n < first_end) {  // start-up reads wrap the inner failure
      EXPECT_EQ(f.text, "compressed response I/O: failed to fill whole buffer") << n;
      EXPECT_EQ(f.kind, base::IoKind::InvalidData) << n;
    } else {
      EXPECT_EQ(f.text, "failed to fill whole buffer") << n;
      EXPECT_EQ(f.kind, base::IoKind::UnexpectedEof) << n;
    }
  }
}

TEST(DecompressingReaderTest, CapsDecodedBytesPerReader) {
  // 16 frames of 64 MiB of zeros are exactly the 1 GiB a reader may decode.
  auto zeros = std::make_unique<uint8_t[]>(kMaxFrameSize);
  std::fill_n(zeros.get(), kMaxFrameSize, 0);
  auto big = encode_frame(std::span<const uint8_t>(zeros.get(), kMaxFrameSize), kMethodLz4);
  ASSERT_TRUE(big.ok());
  Blob one_byte = frame_of({0}, kMethodNone);
  Blob empty = frame_of({}, kMethodLz4);

  {
    testing::ChainSource inner;
    inner.run(big->span(), 16).run(empty);
    DecompressingReader reader(inner);
    ASSERT_TRUE(reader.start().ok());
    ASSERT_TRUE(reader.skip(kMaxDecodedPerReader).ok());
    EXPECT_EQ(reader.decoded_total(), kMaxDecodedPerReader);
    EXPECT_FALSE(reader.read_u8().ok());
  }
  for (bool direct : {false, true}) {
    testing::ChainSource inner;
    inner.run(big->span(), 16).run(one_byte);
    DecompressingReader reader(inner);
    ASSERT_TRUE(reader.start().ok());
    Status s;
    if (direct) {
      for (int i = 0; i < 16 && s.ok(); ++i) s = reader.read_exact(zeros.get(), kMaxFrameSize);
      ASSERT_TRUE(s.ok());
      s = reader.read_exact(zeros.get(), 1);
    } else {
      s = reader.skip(kMaxDecodedPerReader + 1);
    }
    ASSERT_FALSE(s.ok());
    EXPECT_TRUE(s.error().is_io(base::IoKind::InvalidData));
    EXPECT_EQ(s.error().io_error().to_string(),
              "compressed response: decompressed block cumulative byte length 1073741825 exceeds "
              "limit 1073741824");
    EXPECT_EQ(reader.decoded_total(), kMaxDecodedPerReader);
  }
}

}  // namespace
}  // namespace tarnwick::compression
