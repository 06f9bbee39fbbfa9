#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "events/watchdog_event.h"
#include "host/entry_judge.h"

namespace sidecar {

struct Process;

// A running AI interview-assistant program: its identifier and process name.
struct AiAssistantMatch {
  std::uint32_t pid = 0;
  std::string name;

  friend bool operator==(const AiAssistantMatch&, const AiAssistantMatch&) = default;
};

// The detection rules over the process table. They hold no data and never fail. The table keeps
// no program text: it hands each image and each name change to the rules' judge and stores the
// verdicts, which the checks then read.
class DetectionUtils {
 public:
  // The judge to give the process table whose entries these checks read.
  static const EntryJudge& judge();

  // One record per entry whose lower-cased name contains a pattern of the catalogue of debuggers,
  // packet analysers, recorders, conferencing and media tools and VM guest tools, labelled by the
  // first pattern that matches; in the order given. A process whose name matches nothing is
  // matched by its program file's name instead (a renamed tool is still the file it runs), and
  // keeps its own name in the record; a thread is matched by its own name only.
  static std::vector<SuspiciousProcessPayload> check_suspicious_processes(
      std::span<const Process* const> entries);

  // Every entry whose name, executable path and arguments (lower-cased, joined by single spaces)
  // contain a term of the AI interview-assistant denylist, in the order given.
  static std::vector<AiAssistantMatch> check_ai_assistants(std::span<const Process* const> entries);

  // The index of the first catalogue pattern in `name`, or nothing.
  static std::optional<std::size_t> catalogue_match(std::string_view name);
  // Whether the match text of these pieces (each lower-cased, joined by single spaces) holds a
  // denylist term.
  static bool denylist_match(std::string_view name, const std::string* exe,
                             const std::vector<std::string>& arguments);
};

}  // namespace sidecar
