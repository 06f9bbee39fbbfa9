// The JSON writer: any payload texts and numbers give one line that an independent parser reads
// back to the same values, and any 32-bit float text reads back to the same bits.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "base/utf8.h"
#include "events/json_writer.h"
#include "fuzz_input.h"

namespace {

using sidecar::fuzzing::FuzzInput;

void check_f32(float value) {
  std::string text;
  sidecar::append_json_f32(text, value);
  if (!std::isfinite(value)) {
    FUZZ_CHECK(text == "null");
    return;
  }
  FUZZ_CHECK(text.find('.') != std::string::npos || text.find('e') != std::string::npos);
  const float back = std::strtof(text.c_str(), nullptr);
  FUZZ_CHECK(std::memcmp(&back, &value, sizeof value) == 0);
}

void check_u128(sidecar::u128 value) {
  std::string text;
  sidecar::append_json_u128(text, value);
  FUZZ_CHECK(!text.empty() && (text == "0" || text[0] != '0'));
  sidecar::u128 back = 0;
  for (const char c : text) {
    FUZZ_CHECK(c >= '0' && c <= '9');
    back = back * 10 + static_cast<unsigned>(c - '0');
  }
  FUZZ_CHECK(back == value);
}

nlohmann::json parse(const sidecar::WatchdogEvent& event) {
  const std::string line = sidecar::to_json(event);
  for (const char c : line) FUZZ_CHECK(c != '\n' && c != '\r');
  // Nor any character that other line readers take for a line end.
  for (const char* separator : {"\u0085", "\u2028", "\u2029"}) {
    FUZZ_CHECK(line.find(separator) == std::string::npos);
  }
  try {
    return nlohmann::json::parse(line);
  } catch (const nlohmann::json::exception&) {
    FUZZ_CHECK(false);
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const auto text = [&input] { return sidecar::to_utf8_lossy(input.take_text()); };
  const float confidence = input.take<float>();
  const std::uint64_t high = input.take<std::uint64_t>();
  const std::uint64_t low = input.take<std::uint64_t>();
  const sidecar::u128 timestamp = (static_cast<sidecar::u128>(high) << 64) | low;
  check_f32(confidence);
  check_u128(timestamp);

  sidecar::SuspiciousProcessPayload process{input.take<std::uint32_t>(), text(), text()};
  auto json = parse(sidecar::SuspiciousProcessDetected{process});
  FUZZ_CHECK(json["event"] == "suspicious_process_detected");
  FUZZ_CHECK(json["payload"]["pid"] == process.pid);
  FUZZ_CHECK(json["payload"]["name"] == process.name);
  FUZZ_CHECK(json["payload"]["reason"] == process.reason);

  sidecar::VmPayload vm{true, confidence, {text(), text(), text()}};
  json = parse(sidecar::VmDetected{vm});
  FUZZ_CHECK(json["payload"]["indicators"] == vm.indicators);
  FUZZ_CHECK(std::isfinite(confidence) ? json["payload"]["confidence"].is_number()
                                       : json["payload"]["confidence"].is_null());

  sidecar::StealthOverlayPayload overlay;
  overlay.owner_name = text();
  overlay.owner_pid = input.take<std::uint32_t>();
  overlay.window_layer = input.take<std::int64_t>();
  overlay.window_alpha = input.take<float>();
  if (input.take<std::uint8_t>() % 2 == 0) overlay.bundle_id = text();
  overlay.reason = text();
  json = parse(sidecar::StealthOverlayDetected{overlay});
  FUZZ_CHECK(json["payload"]["owner_name"] == overlay.owner_name);
  FUZZ_CHECK(json["payload"]["owner_pid"] == overlay.owner_pid);
  FUZZ_CHECK(json["payload"]["window_layer"] == overlay.window_layer);
  FUZZ_CHECK(overlay.bundle_id ? json["payload"]["bundle_id"] == *overlay.bundle_id
                               : json["payload"]["bundle_id"].is_null());
  FUZZ_CHECK(json["payload"]["os_note"].is_null());
  FUZZ_CHECK(json["payload"].size() == 11);

  const std::string message = text();
  json = parse(sidecar::Error{message});
  FUZZ_CHECK(json["payload"] == message);
  if (timestamp <= UINT64_MAX) {
    json = parse(sidecar::Heartbeat{{timestamp}});
    FUZZ_CHECK(json["payload"]["timestamp"] == static_cast<std::uint64_t>(timestamp));
  }
  return 0;
}
