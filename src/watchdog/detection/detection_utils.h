#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "events/watchdog_event.h"

namespace sidecar {

class System;

// A running AI interview-assistant program: its identifier and process name.
struct AiAssistantMatch {
  std::uint32_t pid = 0;
  std::string name;

  friend bool operator==(const AiAssistantMatch&, const AiAssistantMatch&) = default;
};

// Appends valid UTF-8 `text` lower-cased for matching against ASCII patterns: the same result as
// the full Unicode lowercase mapping wherever an ASCII pattern could match. ASCII capitals, the
// Kelvin sign (to "k") and capital I with dot above (to "i" and a combining dot) are the only
// characters whose lower case holds ASCII letters; every other character is copied as it is.
void append_lowercase_for_matching(std::string& out, std::string_view text);

// The detection rules over the process table. They hold no data and never fail.
class DetectionUtils {
 public:
  // One record per entry whose lower-cased name contains a pattern of the catalogue of debuggers,
  // packet analysers, recorders, conferencing and media tools and VM guest tools, labelled by the
  // first pattern that matches; in the table's order.
  static std::vector<SuspiciousProcessPayload> check_suspicious_processes(const System& system);

  // The first entry whose name, executable path and arguments (lower-cased, joined by single
  // spaces) contain a term of the AI interview-assistant denylist.
  static std::optional<AiAssistantMatch> check_ai_assistants(const System& system);

  // The index of the first catalogue pattern in `name`, or nothing.
  static std::optional<std::size_t> catalogue_match(std::string_view name);
  // Whether the match text of these pieces (each lower-cased, joined by single spaces) holds a
  // denylist term.
  static bool denylist_match(std::string_view name, const std::string* exe,
                             const std::vector<std::string>& arguments);

 private:
  // The part of a match text that follows the name: whether it holds a term by itself, and its
  // first bytes, where a term that starts in the name would end.
  struct DenylistTail {
    bool holds_term = false;
    std::string head;
  };
  static DenylistTail judge_tail(const std::string* exe, const std::vector<std::string>& arguments);
  static bool tail_matches(std::string_view name, const DenylistTail& tail);
};

}  // namespace sidecar
