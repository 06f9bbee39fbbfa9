#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "events/watchdog_event.h"

namespace sidecar {

// The event as one compact JSON object, without a line ending. Every value of the model has a
// JSON form.
std::string to_json(const WatchdogEvent& event);

// The pieces of the wire format, each appended to `out`.
void append_json_string(std::string& out, std::string_view text);
void append_json_f32(std::string& out, float value);
void append_json_u128(std::string& out, u128 value);

}  // namespace sidecar
