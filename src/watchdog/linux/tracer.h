#pragma once

#include <filesystem>
#include <string_view>

namespace sidecar {

struct Process;

// The decision of the first "TracerPid:" line of a status file whose value is an unsigned 32-bit
// number: traced when it is not 0. Lines without such a value are skipped; no line, not traced.
bool status_shows_tracer(std::string_view status);

// Whether a tracer is attached to this process: its own entry stopped by one, or else the
// "TracerPid:" line of its status file under `proc_root`. Unreadable means not traced.
bool is_traced(const Process* own_entry, const std::filesystem::path& proc_root);

}  // namespace sidecar
