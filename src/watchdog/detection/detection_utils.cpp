#include "watchdog/detection/detection_utils.h"

#include <algorithm>
#include <array>
#include <map>
#include <utility>

#include "host/system.h"
#include "host/utf8.h"

namespace sidecar {
namespace {

struct CataloguePattern {
  std::string_view pattern;
  std::string_view label;
};

constexpr std::array<CataloguePattern, 18> catalogue = {{
    {"gdb", "Debugger"},
    {"lldb", "Debugger"},
    {"ollydbg", "Debugger"},
    {"x64dbg", "Debugger"},
    {"ida64", "Debugger"},
    {"wireshark", "Packet Analyzer"},
    {"fiddler", "Packet Analyzer"},
    {"obs", "Screen Recorder"},
    {"zoom", "Conferencing Tool"},
    {"teams", "Conferencing Tool"},
    {"discord", "Conferencing Tool"},
    {"quicktime", "Screen Recorder"},
    {"ffmpeg", "Media Tool"},
    {"wf-recorder", "Screen Recorder"},
    {"vmtoolsd", "VM Tool"},
    {"vboxservice", "VM Tool"},
    {"prl_cc", "Parallels Tools"},
    {"prl_tools", "Parallels Tools"},
}};

constexpr std::array<std::string_view, 18> denylist = {
    "cluely",
    "interview coder",
    "interviewcoder",
    "open-interview-coder",
    "leetcode wizard",
    "leetcodewizard",
    "lockedin ai",
    "lockedinai",
    "final round ai",
    "finalround",
    "interview sidekick",
    "interviewsidekick",
    "ultracode",
    "parakeet",
    "shadecoder",
    "free-cluely",
    "ghostly",
    "invisible interview",
};

constexpr std::size_t longest_term = [] {
  std::size_t longest = 0;
  for (const auto term : denylist) longest = std::max(longest, term.size());
  return longest;
}();

bool contains_term(std::string_view text) {
  for (const auto term : denylist) {
    if (text.find(term) != std::string_view::npos) return true;
  }
  return false;
}

std::int8_t to_memo(std::optional<std::size_t> index) {
  return index ? static_cast<std::int8_t>(*index) : Process::RuleMemo::no_match;
}

}  // namespace

void append_lowercase_for_matching(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else if (text.substr(i, 3) == "\u212A") {  // Kelvin sign
      out += 'k';
      i += 2;
    } else if (text.substr(i, 2) == "\u0130") {  // capital I with dot above
      out += "i\u0307";
      i += 1;
    } else {
      out += c;
    }
  }
}

std::optional<std::size_t> DetectionUtils::catalogue_match(std::string_view name) {
  std::string lowered;
  lowered.reserve(name.size());
  append_lowercase_for_matching(lowered, name);
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    if (lowered.find(catalogue[i].pattern) != std::string::npos) return i;
  }
  return std::nullopt;
}

bool DetectionUtils::denylist_match(std::string_view name, const std::string* exe,
                                    const std::vector<std::string>& arguments) {
  return tail_matches(name, judge_tail(exe, arguments));
}

DetectionUtils::DenylistTail DetectionUtils::judge_tail(const std::string* exe,
                                                        const std::vector<std::string>& arguments) {
  std::string tail;
  if (exe) {
    tail += ' ';
    append_lowercase_for_matching(tail, to_utf8_lossy(*exe));
  }
  if (!arguments.empty()) {
    tail += ' ';
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (i != 0) tail += ' ';
      append_lowercase_for_matching(tail, arguments[i]);
    }
  }
  DenylistTail judged;
  judged.holds_term = contains_term(tail);
  // A term that starts in the name ends within its own length of the tail's start.
  judged.head = tail.substr(0, longest_term - 1);
  return judged;
}

bool DetectionUtils::tail_matches(std::string_view name, const DenylistTail& tail) {
  if (tail.holds_term) return true;
  std::string text;
  text.reserve(name.size() + tail.head.size());
  append_lowercase_for_matching(text, name);
  text += tail.head;
  return contains_term(text);
}

std::vector<SuspiciousProcessPayload> DetectionUtils::check_suspicious_processes(
    const System& system) {
  std::vector<SuspiciousProcessPayload> records;
  for (const Process* entry : system.processes()) {
    auto& memo = entry->memo.catalogue;
    if (memo == Process::RuleMemo::unknown) memo = to_memo(catalogue_match(entry->name));
    if (memo == Process::RuleMemo::no_match) continue;
    records.push_back({static_cast<std::uint32_t>(entry->pid), entry->name,
                       std::string(catalogue[static_cast<std::size_t>(memo)].label)});
  }
  return records;
}

std::optional<AiAssistantMatch> DetectionUtils::check_ai_assistants(const System& system) {
  // The threads of a process share its path and arguments, which can be long: the match text made
  // from them is judged once per pass, and each entry adds only its own name.
  std::map<std::pair<const void*, const void*>, DenylistTail> tails;
  for (const Process* entry : system.processes()) {
    auto& memo = entry->memo.denylist;
    if (memo == Process::RuleMemo::unknown) {
      const auto key = std::pair<const void*, const void*>(entry->exe.get(), entry->cmdline.get());
      auto found = tails.find(key);
      if (found == tails.end()) {
        found = tails.emplace(key, judge_tail(entry->exe.get(), entry->arguments())).first;
      }
      memo = tail_matches(entry->name, found->second) ? 1 : Process::RuleMemo::no_match;
    }
    if (memo != Process::RuleMemo::no_match) {
      return AiAssistantMatch{static_cast<std::uint32_t>(entry->pid), entry->name};
    }
  }
  return std::nullopt;
}

}  // namespace sidecar
