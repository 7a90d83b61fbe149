#include "tarnwick/compression/frame.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "compression/frame_fixtures.h"

namespace tarnwick::compression {
namespace {

using testing::Blob;
using testing::pattern;
using testing::raw_frame;

const std::string kChecksumMismatch =
    "compression error: compression frame checksum mismatch (CityHash128) \u2014 corruption "
    "suspected";

Blob to_blob(const base::ByteBuffer& b) {
  return Blob(b.data(), b.data() + b.size());
}

Blob encode(const Blob& payload, uint8_t method) {
  auto r = encode_frame(payload, method);
  EXPECT_TRUE(r.ok()) << r.error().to_string();
  return r.ok() ? to_blob(*r) : Blob{};
}

std::string decode_error(const Blob& frame) {
  auto r = decode_frame_bytes(frame);
  return r.ok() ? "ok" : r.error().to_string();
}

TEST(FrameTest, RoundTripsBothMethods) {
  std::vector<Blob> payloads = {{}, pattern(15), Blob(100000, 'x')};
  for (uint8_t method : {kMethodNone, kMethodLz4}) {
    for (const Blob& payload : payloads) {
      Blob frame = encode(payload, method);
      auto decoded = decode_frame_bytes(frame);
      ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
      EXPECT_EQ(to_blob(*decoded), payload) << int(method) << " " << payload.size();
      EXPECT_EQ(frame[16], method);
      frame.insert(frame.end(), {1, 2, 3});  // bytes after the frame are ignored
      EXPECT_EQ(decode_error(frame), "ok");
    }
  }
  EXPECT_LT(encode(Blob(100000, 'x'), kMethodLz4).size(), 1000u);
}

TEST(FrameTest, AppendsAfterExistingBytesAndRefusesOtherMethods) {
  base::ByteBuffer out;
  out.append(std::string_view("head"));
  ASSERT_TRUE(encode_frame_into(out, Blob{1, 2, 3}, kMethodLz4).ok());
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(out.data()), 4), "head");
  EXPECT_EQ(to_blob(*decode_frame_bytes(out.span().subspan(4))), (Blob{1, 2, 3}));

  const size_t before = out.size();
  for (uint8_t method : {0x01, 0x90}) {
    auto r = encode_frame_into(out, Blob{1}, method);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(),
              "compression error: ZSTD compression requested but 'zstd' feature not enabled");
    EXPECT_EQ(out.size(), before);
  }
}

// Address space that is never touched: the encoder must refuse these sizes before reading.
class Reservation {
 public:
  explicit Reservation(size_t n) : n_(n) {
    p_ = mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  ~Reservation() {
    if (p_ != MAP_FAILED) munmap(p_, n_);
  }
  bool ok() const { return p_ != MAP_FAILED; }
  std::span<const uint8_t> span(size_t n) const { return {static_cast<const uint8_t*>(p_), n}; }

 private:
  void* p_;
  size_t n_;
};

TEST(FrameTest, EncoderRefusesSizesItCannotRepresent) {
  EXPECT_TRUE(detail::check_lz4_input_size(LZ4_MAX_INPUT_SIZE).ok());
  auto over = detail::check_lz4_input_size(size_t{LZ4_MAX_INPUT_SIZE} + 1);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().to_string(),
            "compression error: LZ4 input of 2113929217 bytes exceeds the codec limit of "
            "2113929216 bytes");

  const size_t big = (size_t{1} << 32) + 10;
  Reservation space(big);
  if (!space.ok()) GTEST_SKIP() << "cannot reserve address space";
  struct Case {
    size_t len;
    uint8_t method;
    const char* message;
  } cases[] = {
      {(size_t{1} << 32) + 10, kMethodLz4,
       "LZ4 input of 4294967306 bytes exceeds the codec limit of 2113929216 bytes"},
      {(size_t{1} << 32) - 8, kMethodNone,
       "compressed frame of 4294967297 bytes exceeds the u32 wire size field"},
  };
  for (const Case& c : cases) {
    auto r = encode_frame(space.span(c.len), c.method);
    ASSERT_FALSE(r.ok()) << c.len;
    EXPECT_EQ(r.error().kind(), base::ErrorKind::Compression);
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(FrameTest, DecoderFailuresInCheckOrder) {
  const Blob abc = {0x61, 0x62, 0x63};
  const std::string eof = "I/O error: failed to fill whole buffer";
  Blob lz4 = encode(pattern(300), kMethodLz4);
  Blob lz4_payload(lz4.begin() + 25, lz4.end());
  uint32_t lz4_cs = static_cast<uint32_t>(lz4.size() - 16);

  Blob cap_ok = raw_frame(kMethodNone, 67108864, 3, abc);
  Blob zstd = raw_frame(kMethodZstd, 12, 3, abc);
  Blob unsealed_zstd = zstd;
  unsealed_zstd[0] ^= 1;
  struct Case {
    const char* name;
    Blob frame;
    std::string message;
  } cases[] = {
      {"unknown method before bad sizes", raw_frame(0xab, 3, 99999999, {}),
       "compression error: unknown compression method byte: 0xab"},
      {"compressed_size below header", raw_frame(kMethodNone, 8, 0, {}),
       "compression error: compressed_size 8 < header length 9"},
      {"compressed_size over cap", raw_frame(kMethodNone, 67108865, 3, abc),
       "compression error: compressed_size 67108865 exceeds 67108864 byte frame cap"},
      {"compressed_size at cap passes to the length check", cap_ok, eof},
      {"uncompressed_size over cap", raw_frame(kMethodLz4, 12, 67108865, abc),
       "compression error: uncompressed_size 67108865 exceeds 67108864 byte frame cap"},
      {"zstd is refused after the checksum", zstd,
       "compression error: ZSTD decompression requested but 'zstd' feature not enabled"},
      {"zstd with a bad checksum", unsealed_zstd, kChecksumMismatch},
      {"stored length differs from declared", raw_frame(kMethodNone, 12, 4, abc),
       "compression error: decompressed length 3 != uncompressed_size 4 declared in header"},
      {"lz4 block decodes short", raw_frame(kMethodLz4, lz4_cs, 301, lz4_payload),
       "compression error: decompressed length 300 != uncompressed_size 301 declared in header"},
      {"lz4 block overruns declared size", raw_frame(kMethodLz4, lz4_cs, 299, lz4_payload), ""},
  };
  for (const Case& c : cases) {
    std::string got = decode_error(c.frame);
    if (c.message.empty()) {
      EXPECT_EQ(got.rfind("compression error: lz4 decode: ", 0), 0u) << c.name << ": " << got;
    } else {
      EXPECT_EQ(got, c.message) << c.name;
    }
  }

  Blob good = encode(pattern(40), kMethodLz4);
  for (size_t n = 0; n < good.size(); ++n) {
    auto r = decode_frame_bytes(std::span(good).first(n));
    ASSERT_FALSE(r.ok()) << n;
    EXPECT_TRUE(r.error().is_io(base::IoKind::UnexpectedEof)) << n;
  }
}

TEST(FrameTest, AnyAlteredByteFailsTheChecksum) {
  Blob frame = encode(pattern(200), kMethodLz4);
  for (size_t i = 0; i < frame.size(); ++i) {
    // Offsets 16 to 24 are header fields that fail earlier checks when changed; the low bit of
    // the uncompressed size reaches the checksum.
    if (i >= 16 && i < 25 && i != 21) continue;
    for (uint8_t bit : {0x01, 0x80}) {
      Blob bad = frame;
      bad[i] ^= bit;
      EXPECT_EQ(decode_error(bad), kChecksumMismatch) << "byte " << i;
    }
  }
}

}  // namespace
}  // namespace tarnwick::compression
