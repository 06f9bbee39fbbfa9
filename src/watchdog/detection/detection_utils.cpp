#include "watchdog/detection/detection_utils.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "base/lowercase.h"
#include "base/utf8.h"
#include "host/system.h"

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
  // Arguments can be long (a few hundred kilobytes): the C library's search skips through them
  // where a plain find stops at every letter that starts a term.
  for (const auto term : denylist) {
    if (memmem(text.data(), text.size(), term.data(), term.size()) != nullptr) return true;
  }
  return false;
}

// A term that starts in the name ends within its own length of the image text's start, so an
// image's verdict keeps whether its text holds a term by itself, and those first bytes.
constexpr std::size_t image_head = longest_term - 1;
static_assert(1 + image_head <= ImageVerdict::capacity);

// An entry's verdict: the catalogue pattern its name matches, plus one (0 for none), and a flag
// for a denylist match.
constexpr EntryVerdict catalogue_mask = 0xFF;
constexpr EntryVerdict denylist_flag = 0x100;
static_assert(catalogue.size() < catalogue_mask);

class RulesJudge final : public EntryJudge {
 public:
  ImageVerdict judge_image(const std::string* exe, const Arguments& arguments) const override {
    std::string text = "0";
    if (exe) {
      text += ' ';
      append_lowercase_for_matching(text, to_utf8_lossy(*exe));
    }
    if (!arguments.empty()) {
      text += ' ';
      for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i != 0) text += ' ';
        append_lowercase_for_matching(text, arguments[i]);
      }
    }
    if (contains_term(std::string_view(text).substr(1))) text[0] = '1';
    return ImageVerdict(std::string_view(text).substr(0, 1 + image_head));
  }

  EntryVerdict judge_entry(std::string_view name, const ImageVerdict* image) const override {
    EntryVerdict verdict = 0;
    if (const auto index = DetectionUtils::catalogue_match(name)) {
      verdict = static_cast<EntryVerdict>(*index + 1);
    }
    const std::string_view image_text = image ? image->view() : std::string_view();
    bool listed = image_text.starts_with('1');
    if (!listed) {
      std::string text;
      text.reserve(name.size() + image_head);
      append_lowercase_for_matching(text, name);
      if (!image_text.empty()) text += image_text.substr(1);
      listed = contains_term(text);
    }
    return listed ? verdict | denylist_flag : verdict;
  }
};

}  // namespace

std::optional<std::size_t> DetectionUtils::catalogue_match(std::string_view name) {
  std::string lowered;
  lowered.reserve(name.size());
  append_lowercase_for_matching(lowered, name);
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    if (lowered.find(catalogue[i].pattern) != std::string::npos) return i;
  }
  return std::nullopt;
}

const EntryJudge& DetectionUtils::judge() {
  static const RulesJudge rules;
  return rules;
}

bool DetectionUtils::denylist_match(std::string_view name, const std::string* exe,
                                    const std::vector<std::string>& arguments) {
  const ImageVerdict image = judge().judge_image(exe, arguments);
  return (judge().judge_entry(name, &image) & denylist_flag) != 0;
}

std::vector<SuspiciousProcessPayload> DetectionUtils::check_suspicious_processes(
    std::span<const Process* const> entries) {
  std::vector<SuspiciousProcessPayload> records;
  for (const Process* entry : entries) {
    const EntryVerdict pattern = entry->verdict & catalogue_mask;
    if (pattern == 0 || pattern > catalogue.size()) continue;
    records.push_back({static_cast<std::uint32_t>(entry->pid), entry->name,
                       std::string(catalogue[pattern - 1].label)});
  }
  return records;
}

std::optional<AiAssistantMatch> DetectionUtils::check_ai_assistants(
    std::span<const Process* const> entries) {
  for (const Process* entry : entries) {
    if ((entry->verdict & denylist_flag) != 0) {
      return AiAssistantMatch{static_cast<std::uint32_t>(entry->pid), entry->name};
    }
  }
  return std::nullopt;
}

}  // namespace sidecar
