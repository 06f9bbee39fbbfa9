#pragma once

#include <optional>
#include <string_view>

#include "host/proc_parse.h"

namespace sidecar {

struct Process;

// The decision of the first "TracerPid:" line of a status file whose value is an unsigned 32-bit
// number: traced when it is not 0. Lines without such a value are skipped; no line, not traced.
bool status_shows_tracer(std::string_view status);

// Whether a tracer is attached to this process: its own entry stopped by one, or else the tracer
// line of its status file (nothing when unreadable, which means not traced).
bool is_traced(const Process* own_entry, const std::optional<StatusRecord>& status);

}  // namespace sidecar
