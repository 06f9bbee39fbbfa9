#include "watchdog/linux/tracer.h"

#include "host/system.h"

namespace sidecar {

bool status_shows_tracer(std::string_view status) {
  return parse_status(status).tracer_pid.value_or(0) != 0;
}

bool is_traced(const Process* own_entry, const std::optional<StatusRecord>& status) {
  if (own_entry && own_entry->state.kind == RunState::TracingStop) return true;
  return status && status->tracer_pid.value_or(0) != 0;
}

}  // namespace sidecar
