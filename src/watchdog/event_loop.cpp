#include "watchdog/event_loop.h"

#include <string>

#include "events/json_writer.h"
#include "watchdog/watchdog.h"

namespace sidecar {

// Only the loop writes standard output, from the main thread: a line cannot be split by another
// writer, and needs no lock.
void loop_turn(Watchdog& watchdog, const LineWriter& write_line) {
  const auto event = watchdog.poll();
  if (!event) return;
  std::string text = to_json(*event);
  text += '\n';
  write_line(text);
}

void run_event_loop(Watchdog& watchdog, const LineWriter& write_line,
                    const std::function<void()>& sleep) {
  for (;;) {
    loop_turn(watchdog, write_line);
    sleep();
  }
}

}  // namespace sidecar
