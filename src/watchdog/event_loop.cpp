#include "watchdog/event_loop.h"

#include <mutex>

#include "events/json_writer.h"
#include "watchdog/watchdog.h"

namespace sidecar {
namespace {

// Guards standard output from serialisation to flush, so a line is never split by another writer.
std::mutex output_lock;

}  // namespace

void loop_turn(Watchdog& watchdog, const LineWriter& write_line) {
  const auto event = watchdog.poll();
  if (!event) return;
  const std::lock_guard lock(output_lock);
  auto text = to_json(*event);
  if (!text) return;
  *text += '\n';
  write_line(*text);
}

void run_event_loop(Watchdog& watchdog, const LineWriter& write_line,
                    const std::function<void()>& sleep) {
  for (;;) {
    loop_turn(watchdog, write_line);
    sleep();
  }
}

}  // namespace sidecar
