#include "tarnwick/sync/query_packet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/wire_builder.h"
#include "tarnwick/compression/frame.h"

namespace tarnwick::sync {
namespace {

using testing::to_wire;
using testing::Wire;
using Bytes = std::vector<uint8_t>;

const QueryId kId = QueryId::format(0x1234, 1);  // "tw-qi-123400000001"

const Bytes kEmptyDataPacket = {0x02, 0x00, 0x01, 0x00, 0x02, 0xFF,
                                0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};

Wire& setting(Wire& g, std::string_view name, std::string_view value) {
  return g.str(name).bytes({0x00}).str(value);
}

QueryPacketTemplate make_template(const ClientConfig& config, uint64_t revision) {
  auto t = build_query_packet_template(config, revision, nullptr);
  EXPECT_TRUE(t.ok()) << t.error().to_string();
  return std::move(t).value();
}

Bytes build(const QueryPacketTemplate& t, std::string_view query,
            std::span<const QueryParameter> params = {}, const SettingsMap& overlay = {}) {
  base::ByteBuffer out;
  write_query_packet(out, t, kId, query, params, overlay);
  return to_wire(out);
}

TEST(QueryIdTest, Format) {
  EXPECT_EQ(kId.view(), "tw-qi-123400000001");
  EXPECT_EQ(QueryId::format(0, 0).view(), "tw-qi-0");
  EXPECT_EQ(QueryId::format(0xFFFFFFFF, ~0ULL).view(), "tw-qi-ffffffffffffffff");
  // Only the counter's low 32 bits enter the id.
  EXPECT_EQ(QueryId::format(1, 0x500000002ULL).view(), "tw-qi-100000002");
}

TEST(QueryIdTest, NextTakesTheCounterAndThisProcess) {
  const uint64_t before = query_id_counter().load();
  QueryId a = QueryId::next();
  QueryId b = QueryId::next();
  EXPECT_EQ(a.view(), QueryId::format(static_cast<uint32_t>(getpid()), before).view());
  EXPECT_EQ(b.view(), QueryId::format(static_cast<uint32_t>(getpid()), before + 1).view());
  EXPECT_GE(query_id_counter().load(), before + 2);
}

TEST(QueryPacketTest, RevisionGates) {
  ClientConfig config;
  const QueryParameter param{"p", "v"};
  const struct {
    uint64_t revision;
    Bytes client_info_tail;  // after the revision varint and the quota key
    int added_settings;      // 2: both, 1: the JSON one only, 0: none (the terminator alone)
    Bytes fixed;             // fields 5 to 8
    bool parameters;
  } cases[] = {
      // 54483, the default: every field, fields 5 and 6.
      {54483,
       {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       2,
       {0x00, 0x00, 0x02, 0x00},
       true},
      // 54458: start time, depth, patch, trace and three further fields; field 6 only.
      {54458, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 1, {0x00, 0x02, 0x00}, false},
      // 54440: no start time, depth, trace or further fields; neither field 5 nor 6.
      {54440, {0x01}, 1, {0x02, 0x00}, false},
      // 54471: everything up to the three further fields; field 6 only.
      {54471, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 2, {0x00, 0x02, 0x00}, true},
      // 54464: the sparse-serialization setting is not yet added.
      {54464, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 1, {0x00, 0x02, 0x00}, true},
      // 54429 is the first revision with settings as strings; below it none is sent.
      {54429, {0x01}, 1, {0x02, 0x00}, false},
      {54428, {0x01}, 0, {0x02, 0x00}, false},
      {54412, {0x01}, 0, {0x02, 0x00}, false},
  };
  for (const auto& c : cases) {
    Wire g;
    g.bytes({0x01}).str("tw-qi-123400000001");
    g.bytes({0x01}).str("").str("tw-qi-123400000001").str("0.0.0.0:0");
    if (c.revision >= 54449) g.fill(8, 0);
    g.bytes({0x01}).str("").str("localhost").str("tarnwick-sync").bytes({0x1A, 0x04});
    g.bytes({static_cast<uint8_t>(0x80 | (c.revision & 0x7F)),
             static_cast<uint8_t>(0x80 | ((c.revision >> 7) & 0x7F)), 0x03});
    g.str("").raw(c.client_info_tail);
    if (c.added_settings == 2) setting(g, "ratio_of_defaults_for_sparse_serialization", "1");
    if (c.added_settings >= 1) setting(g, "output_format_native_write_json_as_string", "1");
    g.bytes({0x00});
    g.raw(c.fixed).str("q");
    if (c.parameters) g.str("p").bytes({0x02}).str("'v'").bytes({0x00});
    g.raw(kEmptyDataPacket);
    EXPECT_EQ(testing::hex(build(make_template(config, c.revision), "q", {&param, 1})),
              testing::hex(g))
        << c.revision;
  }
}

TEST(QueryPacketTest, ParameterEscaping) {
  const struct {
    QueryParameter param;
    Bytes bytes;
  } cases[] = {
      {{"x", "it's"}, Wire().str("x").bytes({0x02}).str(R"('it\x27s')")},
      {{"x", ""}, Wire().str("x").bytes({0x02}).str("''")},
      {{"x", std::nullopt}, Wire().str("x").bytes({0x02}).str(R"('\\N')")},
      {{"x", std::string("\0\b\t\n'\\", 6)},
       Wire().str("x").bytes({0x02}).str(R"('\x00\x08\\\t\\\n\x27\\\\')")},
      // Carriage return and multi-byte characters pass unchanged.
      {{"x", "\r\xC3\xA9"}, Wire().str("x").bytes({0x02}).str("'\r\xC3\xA9'")},
  };
  for (const auto& c : cases) {
    base::ByteBuffer out;
    write_query_parameter(out, c.param);
    EXPECT_EQ(to_wire(out), c.bytes);
    EXPECT_EQ(encoded_parameter_value_length(c.param) + 4, c.bytes.size());
  }
  EXPECT_EQ(query_parameters_capacity({}), 1u);
  EXPECT_EQ(query_parameters_capacity({&cases[0].param, 1}), 1u + 1 + 9 + 8);
}

TEST(QueryPacketTest, SettingsOverlay) {
  ClientConfig config;
  config.settings = {{"max_threads", "4"}, {"a_setting", "x"}};
  auto t = make_template(config, 54483);

  // The overlay's value wins and the name is sent once; the base keeps key order.
  SettingsMap overlay = {{"max_threads", "8"}, {"output_format_native_write_json_as_string", "0"}};
  Wire expected;
  setting(expected, "ratio_of_defaults_for_sparse_serialization", "1");
  setting(expected, "a_setting", "x");
  setting(expected, "max_threads", "8");
  setting(expected, "output_format_native_write_json_as_string", "0").bytes({0x00});
  base::ByteBuffer block;
  write_settings_block(block, config.settings, overlay, 54483);
  EXPECT_EQ(to_wire(block), Bytes(expected));

  // Built into a packet, the rest of the template's middle follows the re-serialized block.
  Bytes plain = build(t, "q");
  Bytes overlaid = build(t, "q", {}, overlay);
  Bytes plain_block;
  {
    Wire g;
    setting(g, "ratio_of_defaults_for_sparse_serialization", "1");
    setting(g, "output_format_native_write_json_as_string", "1");
    setting(g, "a_setting", "x");
    setting(g, "max_threads", "4").bytes({0x00});
    plain_block = g;
  }
  auto pos = std::search(plain.begin(), plain.end(), plain_block.begin(), plain_block.end());
  ASSERT_NE(pos, plain.end());
  Bytes rebuilt(plain.begin(), pos);
  rebuilt.insert(rebuilt.end(), expected.get().begin(), expected.get().end());
  rebuilt.insert(rebuilt.end(), pos + plain_block.size(), plain.end());
  EXPECT_EQ(overlaid, rebuilt);

  // A user's value for an added setting replaces the added one.
  config.settings = {{"ratio_of_defaults_for_sparse_serialization", "0.5"}};
  base::ByteBuffer user_block;
  write_settings_block(user_block, config.settings, {}, 54483);
  Wire g;
  setting(g, "output_format_native_write_json_as_string", "1");
  setting(g, "ratio_of_defaults_for_sparse_serialization", "0.5").bytes({0x00});
  EXPECT_EQ(to_wire(user_block), Bytes(g));
}

TEST(QueryPacketTest, SettingsAreRefusedBelowTheirRevision) {
  const SettingsMap none, session = {{"b", "1"}, {"a", "2"}}, overlay = {{"z", "3"}};
  const struct {
    uint64_t revision;
    const SettingsMap& base;
    const SettingsMap& overlay;
    std::string named;  // empty: accepted
  } cases[] = {
      {54412, none, none, ""},
      {54412, session, overlay, "a"},
      {54428, none, overlay, "z"},
      {54429, session, overlay, ""},
  };
  for (const auto& c : cases) {
    base::Status st = check_settings_sendable(c.base, c.overlay, c.revision);
    if (c.named.empty()) {
      EXPECT_TRUE(st.ok()) << c.revision;
      continue;
    }
    ASSERT_FALSE(st.ok()) << c.revision;
    EXPECT_EQ(st.error().to_string(),
              "protocol error: setting '" + c.named + "' cannot be sent at protocol revision " +
                  std::to_string(c.revision) +
                  ": servers below revision 54429 read settings in a typed binary form; settings "
                  "need revision 54429 or later");
  }
}

TEST(QueryPacketTest, BuildingIntoASizedBufferDoesNotGrowIt) {
  ClientConfig config;
  config.settings = {{"max_threads", "4"}};
  auto t = make_template(config, 54483);
  const QueryParameter params[] = {{"a", std::string(100, '\'')}, {"b", std::nullopt}};
  const SettingsMap overlay = {{"max_threads", "8"}, {"readonly", "1"}};
  const std::string query(1000, 'q');
  base::ByteBuffer out(query_packet_capacity(t, query, params, overlay));
  const uint8_t* storage = out.data();
  const size_t capacity = out.capacity();
  for (int i = 0; i < 3; ++i) {
    write_query_packet(out, t, query, params, overlay);
    EXPECT_EQ(out.data(), storage);
    EXPECT_EQ(out.capacity(), capacity);
  }
}

TEST(QueryPacketTest, CompressedEmptyBlock) {
  ClientConfig config;
  config.compression = compression::kMethodLz4;
  Bytes packet = build(make_template(config, 54483), "q");
  const Bytes head = Wire().bytes({0x01}).str("q").bytes({0x00, 0x02, 0x00});
  auto at = std::search(packet.begin(), packet.end(), head.begin(), head.end());
  ASSERT_NE(at, packet.end());
  Bytes frame(at + head.size(), packet.end());
  ASSERT_GE(frame.size(), 25u);
  EXPECT_EQ(frame[16], 0x82);
  EXPECT_EQ(frame[17] + 16u, frame.size());  // compressed_size counts from the method byte
  auto payload = compression::decode_frame_bytes(frame);
  ASSERT_TRUE(payload.ok()) << payload.error().to_string();
  EXPECT_EQ(to_wire(*payload), Bytes(kEmptyBlock.begin(), kEmptyBlock.end()));

  // Method none: the flag is on, the empty block goes as it is.
  config.compression = compression::kMethodNone;
  Bytes none = build(make_template(config, 54483), "q");
  Bytes none_end = Wire().bytes({0x01}).str("q").bytes({0x00}).raw(kEmptyDataPacket);
  EXPECT_EQ(Bytes(none.end() - none_end.size(), none.end()), none_end);
}

TEST(QueryPacketTest, ZstdIsRefusedBeforeAnythingIsBuilt) {
  ClientConfig config;
  config.compression = compression::kMethodZstd;
  bool encoder_called = false;
  FrameEncoder encode = [&](std::span<const uint8_t>, uint8_t) {
    encoder_called = true;
    return base::Result<base::ByteBuffer>(base::ByteBuffer());
  };
  auto t = build_query_packet_template(config, 54483, encode);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind(), base::ErrorKind::Compression);
  EXPECT_EQ(t.error().message(), "ZSTD compression requested but 'zstd' feature not enabled");
  EXPECT_FALSE(encoder_called);

  EXPECT_TRUE(check_send_compression(compression::kMethodLz4).ok());
  EXPECT_EQ(check_send_compression(uint8_t{0xFF}).error().kind(), base::ErrorKind::Compression);
  base::ByteBuffer out;
  EXPECT_FALSE(write_empty_data_block_for(out, compression::kMethodZstd, encode).ok());
  EXPECT_TRUE(out.empty());
}

TEST(QueryPacketTest, IgnoredPartUuids) {
  base::ByteBuffer none;
  write_ignored_part_uuids(none, {});
  EXPECT_TRUE(none.empty());

  PartUuid uuids[2];
  for (int i = 0; i < 16; ++i) {
    uuids[0][i] = static_cast<uint8_t>(i);
    uuids[1][i] = static_cast<uint8_t>(0xF0 + i);
  }
  base::ByteBuffer out;
  write_ignored_part_uuids(out, uuids);
  Wire g;
  g.bytes({0x08, 0x02});
  for (int i = 0; i < 16; ++i) g.bytes({static_cast<uint8_t>(i)});
  for (int i = 0; i < 16; ++i) g.bytes({static_cast<uint8_t>(0xF0 + i)});
  EXPECT_EQ(to_wire(out), Bytes(g));
}

}  // namespace
}  // namespace tarnwick::sync
