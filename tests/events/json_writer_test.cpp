#include "events/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace sidecar {
namespace {

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string json_f32(float value) {
  std::string out;
  append_json_f32(out, value);
  return out;
}

std::string json_u128(u128 value) {
  std::string out;
  append_json_u128(out, value);
  return out;
}

TEST(JsonString, EscapesEachByteClass) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1b[0m", R"("\u001b[0m")"},
      {"\x1f", R"("\u001f")"},
      {"a/b\x7f", "\"a/b\x7f\""},
      {"\xd0\x9f\xd1\x80\xd0\xbe", "\"\xd0\x9f\xd1\x80\xd0\xbe\""},  // Cyrillic stays raw
      // Line ends to some readers are escaped; their neighbours in the same blocks stay raw.
      {"obs\xe2\x80\xa8", R"("obs\u2028")"},
      {"a\xe2\x80\xa9"
       "b",
       R"("a\u2029b")"},
      {"\xc2\x85\xc2\x85", R"("\u0085\u0085")"},
      {"\xe2\x80\xa7\xe2\x80\xaa\xc2\x84\xc2\xa0", "\"\xe2\x80\xa7\xe2\x80\xaa\xc2\x84\xc2\xa0\""},
      {"\xe2\x82\xac\xe2\x80\xa8\xe2",
       "\"\xe2\x82\xac\\u2028\xe2\""},  // a cut sequence is no match
      {" \x20~", R"("  ~")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(json_string(c.text), c.expected);
  }
}

TEST(JsonF32, ShortestRoundTripDigitsInPositionalOrExponentForm) {
  struct Case {
    float value;
    const char* expected;
  };
  const Case cases[] = {
      {0.8F, "0.8"},
      {1.0F, "1.0"},
      {0.0F, "0.0"},
      {-0.0F, "-0.0"},
      {100.0F, "100.0"},
      {12.5F, "12.5"},
      {-2.25F, "-2.25"},
      {0.1F, "0.1"},
      {1e12F, "1000000000000.0"},
      {1e13F, "1e+13"},
      {1.5e13F, "1.5e+13"},
      {1e-7F, "1e-7"},
      {0.000001F, "0.000001"},
      {1.25e-6F, "0.00000125"},
      {16777216.0F, "16777216.0"},
      {123456.79F, "123456.79"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {-std::numeric_limits<float>::max(), "-3.4028235e+38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {-std::numeric_limits<float>::quiet_NaN(), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(json_f32(c.value), c.expected);
  }
}

TEST(JsonF32, EveryWrittenValueReadsBackToTheSameFloat) {
  // A spread of bit patterns across the whole range, normal and subnormal.
  for (std::uint32_t bits = 1; bits < 0x7f800000U; bits += 0x00F0F0F1U) {
    float value = 0.0F;
    std::memcpy(&value, &bits, sizeof value);
    const std::string text = json_f32(value);
    SCOPED_TRACE(text);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), value);
  }
}

TEST(JsonIntegers, FullRangesAreWrittenExactly) {
  EXPECT_EQ(json_u128(0), "0");
  EXPECT_EQ(json_u128(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(json_u128(static_cast<u128>(std::numeric_limits<std::uint64_t>::max()) + 1),
            "18446744073709551616");
  EXPECT_EQ(
      json_u128(static_cast<u128>(10'000'000'000'000'000'000ULL) * 10'000'000'000'000'000'000ULL),
      "100000000000000000000000000000000000000");
  EXPECT_EQ(json_u128(~static_cast<u128>(0)), "340282366920938463463374607431768211455");

  StealthOverlayPayload overlay;
  overlay.owner_pid = std::numeric_limits<std::uint32_t>::max();
  overlay.window_layer = std::numeric_limits<std::int64_t>::min();
  auto text = to_json(StealthOverlayDetected{overlay});
  EXPECT_NE(text.find(R"("owner_pid":4294967295,)"), std::string::npos);
  EXPECT_NE(text.find(R"("window_layer":-9223372036854775808,)"), std::string::npos);

  overlay.window_layer = -1;
  text = to_json(StealthOverlayDetected{overlay});
  EXPECT_NE(text.find(R"("window_layer":-1,)"), std::string::npos);
}

TEST(ToJson, EveryVariantWithItsTagAndKeysInOrder) {
  StealthOverlayPayload overlay;
  overlay.severity = "high";
  overlay.owner_name = "Cluely";
  overlay.owner_pid = 977;
  overlay.window_alpha = 1.0F;
  overlay.matched_list = "denylist";
  overlay.method = "process_name";
  overlay.reason = "running process matches AI-assistant denylist: 'Cluely'";

  struct Case {
    WatchdogEvent event;
    const char* expected;
  };
  const Case cases[] = {
      {ScreenShareDetected{{true, "m"}},
       R"({"event":"screen_share_detected","payload":{"is_active":true,"method":"m"}})"},
      {VmDetected{{true, 0.8F, {"cpuid_hypervisor"}}},
       R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":0.8,"indicators":["cpuid_hypervisor"]}})"},
      {VmDetected{{false, 0.8F, {}}},
       R"({"event":"vm_detected","payload":{"is_vm":false,"confidence":0.8,"indicators":[]}})"},
      {VmDetected{{true, 0.8F, {"a", "dmi_vendor:QEMU"}}},
       R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":0.8,"indicators":["a","dmi_vendor:QEMU"]}})"},
      {SuspiciousProcessDetected{{731, "obs", "Screen Recorder"}},
       R"({"event":"suspicious_process_detected","payload":{"pid":731,"name":"obs","reason":"Screen Recorder"}})"},
      {StealthOverlayDetected{overlay},
       R"({"event":"stealth_overlay_detected","payload":{"severity":"high","owner_name":"Cluely","owner_pid":977,"bundle_id":null,"window_layer":0,"window_alpha":1.0,"matched_list":"denylist","capture_excluded":false,"method":"process_name","reason":"running process matches AI-assistant denylist: 'Cluely'","os_note":null}})"},
      {Heartbeat{{0}}, R"({"event":"heartbeat","payload":{"timestamp":0}})"},
      {Heartbeat{{1765319742123}},
       R"({"event":"heartbeat","payload":{"timestamp":1765319742123}})"},
      {Error{"x"}, R"({"event":"error","payload":"x"})"},
      {Error{"line\nbreak"}, R"({"event":"error","payload":"line\nbreak"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(to_json(c.event), c.expected);
  }
}

TEST(ToJson, OptionalTextsArePresentWhenSet) {
  StealthOverlayPayload overlay;
  overlay.bundle_id = "com.example.app";
  overlay.os_note = "";
  const auto text = to_json(StealthOverlayDetected{overlay});
  EXPECT_NE(text.find(R"("bundle_id":"com.example.app",)"), std::string::npos);
  EXPECT_NE(text.find(R"("os_note":""})"), std::string::npos);
}

}  // namespace
}  // namespace sidecar
