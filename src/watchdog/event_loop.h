#pragma once

#include <functional>
#include <string_view>

namespace sidecar {

class Watchdog;

// Receives one whole line (JSON text and its line feed) and writes it out; failures are its own.
using LineWriter = std::function<void(std::string_view line)>;

// One turn of the event loop without its sleep: poll once and write the event, if any, as one
// line. A line that cannot be written is lost; the loop goes on.
void loop_turn(Watchdog& watchdog, const LineWriter& write_line);

// Turns of the loop for ever, each followed by `sleep`.
[[noreturn]] void run_event_loop(Watchdog& watchdog, const LineWriter& write_line,
                                 const std::function<void()>& sleep);

}  // namespace sidecar
