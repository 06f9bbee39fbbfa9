#include "watchdog/poll_cycle.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "events/json_writer.h"
#include "support/fake_root.h"
#include "support/fixture_machine.h"
#include "watchdog/detection/emit_gate.h"
#include "watchdog/linux/heartbeat.h"
#include "watchdog/linux/linux_watchdog.h"

namespace sidecar {
namespace {

// Steps that report what a test sets and log the order in which they are asked.
class FakeSteps final : public PollSteps {
 public:
  bool is_traced = false;
  std::optional<std::string_view> blind_reason;
  std::vector<std::string> indicators;
  std::vector<SuspiciousProcessPayload> records;
  std::vector<AiAssistantMatch> assistants;

  Instant now{100, 0};
  Instant last_heartbeat = seconds_before(now, 10);
  std::vector<std::string> log;
  StepTurns turns;

  void refresh() override { log.push_back("refresh"); }
  bool traced() override {
    log.push_back("traced");
    return is_traced;
  }
  std::optional<std::string_view> blind() override {
    log.push_back("blind");
    return blind_reason;
  }
  std::vector<std::string> vm_indicators() override {
    log.push_back("vm");
    return indicators;
  }
  std::vector<SuspiciousProcessPayload> suspicious_processes() override {
    log.push_back("suspicious");
    return records;
  }
  std::vector<AiAssistantMatch> ai_assistants() override {
    log.push_back("assistant");
    return assistants;
  }
  bool heartbeat_due() override {
    log.push_back("heartbeat");
    return sidecar::heartbeat_due(last_heartbeat, now);
  }
  std::optional<HeartbeatPayload> heartbeat() override {
    return heartbeat_step(
        last_heartbeat, [this] { return now; },
        [] {
          return Instant{1, 999'000'000};
        });
  }
  std::uint32_t own_pid() override { return 812; }
  Instant monotonic_now() override { return now; }

  void find_everything() {
    is_traced = true;
    indicators = {"cpuid_hypervisor"};
    records = {{731, "obs", "Screen Recorder"}, {732, "gdb", "Debugger"}};
    assistants = {{977, "Cluely"}};
  }
};

std::string poll_json(FakeSteps& steps, EmitGate& gate) {
  steps.log.clear();
  const auto event = run_poll_cycle(steps, gate, steps.turns);
  return event ? to_json(*event) : "(none)";
}

using Log = std::vector<std::string>;

using testing::physical_machine;

TEST(PollCycle, StepsInTheirOrderThenEachWaitingStepInTurn) {
  FakeSteps steps;
  steps.find_everything();
  EmitGate gate;
  const Log every_step{"refresh", "traced", "blind", "vm", "suspicious", "assistant", "heartbeat"};

  // Everything found at once: the order of the steps decides.
  EXPECT_EQ(
      poll_json(steps, gate),
      R"j({"event":"suspicious_process_detected","payload":{"pid":812,"name":"self","reason":"Process is being traced (status/TracerPid)"}})j");
  EXPECT_EQ(steps.log, every_step);

  steps.now.sec += 1;
  EXPECT_EQ(
      poll_json(steps, gate),
      R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":0.8,"indicators":["cpuid_hypervisor"]}})");
  EXPECT_EQ(steps.log, every_step);

  steps.now.sec += 1;
  EXPECT_EQ(
      poll_json(steps, gate),
      R"({"event":"suspicious_process_detected","payload":{"pid":731,"name":"obs","reason":"Screen Recorder"}})");

  // The steps that have waited since the first poll come before the next record of a step just
  // served: the assistant, then the heartbeat, then gdb.
  steps.now.sec += 1;
  EXPECT_EQ(
      poll_json(steps, gate),
      R"({"event":"stealth_overlay_detected","payload":{"severity":"high","owner_name":"Cluely","owner_pid":977,"bundle_id":null,"window_layer":0,"window_alpha":1.0,"matched_list":"denylist","capture_excluded":false,"method":"process_name","reason":"running process matches AI-assistant denylist: 'Cluely'","os_note":null}})");

  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), R"({"event":"heartbeat","payload":{"timestamp":1999}})");
  EXPECT_EQ(steps.last_heartbeat, steps.now);

  steps.now.sec += 1;
  EXPECT_EQ(
      poll_json(steps, gate),
      R"({"event":"suspicious_process_detected","payload":{"pid":732,"name":"gdb","reason":"Debugger"}})");

  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), "(none)");
  EXPECT_EQ(steps.log, every_step);

  // Sixty seconds after its first report the tracer comes back first.
  steps.now = {160, 0};
  EXPECT_NE(poll_json(steps, gate).find(R"("name":"self")"), std::string::npos);
}

TEST(PollCycle, AStreamOfFreshFindingsStarvesNoOtherStepNorTheHeartbeat) {
  FakeSteps steps;
  EmitGate gate;
  steps.assistants = {{977, "Cluely"}};
  std::vector<std::string> lines;
  // A new conferencing process every poll, each name a key of its own, for a minute.
  for (int poll = 0; poll < 60; ++poll) {
    steps.records = {{static_cast<std::uint32_t>(2000 + poll), "zoom-" + std::to_string(poll),
                      "Conferencing Tool"}};
    lines.push_back(poll_json(steps, gate));
    steps.now.sec += 1;
  }
  const auto first_with = [&](std::string_view text) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return i;
    }
    return lines.size();
  };
  EXPECT_LE(first_with(R"("owner_name":"Cluely")"), 1U);
  // Heartbeats keep their rhythm: the first at once, then every five or six seconds.
  std::vector<std::size_t> beats;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("heartbeat") != std::string::npos) beats.push_back(i);
  }
  ASSERT_GE(beats.size(), 9U);
  EXPECT_LE(beats.front(), 2U);
  for (std::size_t i = 1; i < beats.size(); ++i) EXPECT_LE(beats[i] - beats[i - 1], 6U) << i;
  // And the stream itself is reported: every poll that served neither gives a new name.
  EXPECT_GE(std::count_if(
                lines.begin(), lines.end(),
                [](const std::string& line) { return line.find("zoom-") != std::string::npos; }),
            45);
}

TEST(PollCycle, ACoolingMatchNeverHidesTheNextOne) {
  const std::string heartbeat = R"({"event":"heartbeat","payload":{"timestamp":1999}})";
  FakeSteps steps;
  EmitGate gate;
  // A decoy, newer and so first, has been reported; the recorder behind it has not.
  steps.records = {{900, "gdbus", "Debugger"}, {731, "obs", "Screen Recorder"}};
  EXPECT_NE(poll_json(steps, gate).find(R"("name":"gdbus")"), std::string::npos);
  // The heartbeat has waited since the first poll; the recorder comes next.
  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), heartbeat);
  steps.now.sec += 1;
  EXPECT_EQ(
      poll_json(steps, gate),
      R"({"event":"suspicious_process_detected","payload":{"pid":731,"name":"obs","reason":"Screen Recorder"}})");
  // Both cooling: nothing more until the heartbeat is due.
  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), "(none)");

  // The same for assistants: a cooling decoy first, the real one next.
  steps.assistants = {{990, "notes-on-cluely"}, {977, "Cluely"}};
  steps.now.sec += 1;
  EXPECT_NE(poll_json(steps, gate).find(R"("owner_name":"notes-on-cluely")"), std::string::npos);
  steps.now.sec += 1;
  EXPECT_NE(poll_json(steps, gate).find(R"("owner_name":"Cluely","owner_pid":977)"),
            std::string::npos);
  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), heartbeat);
  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), "(none)");  // every match cooling, heartbeat not yet due

  // A minute after its report each is offered again, one per poll, the heartbeat between.
  steps.now.sec = 160;
  EXPECT_NE(poll_json(steps, gate).find(R"("name":"gdbus")"), std::string::npos);
  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), heartbeat);
  steps.now.sec += 1;
  EXPECT_NE(poll_json(steps, gate).find(R"("name":"obs")"), std::string::npos);
}

TEST(PollCycle, SameNamedProcessesShareOneKey) {
  FakeSteps steps;
  EmitGate gate;
  steps.records = {{731, "obs", "Screen Recorder"}};
  EXPECT_NE(poll_json(steps, gate).find(R"("pid":731)"), std::string::npos);
  steps.now.sec += 1;
  steps.records = {{990, "obs", "Screen Recorder"}};
  EXPECT_EQ(poll_json(steps, gate), R"({"event":"heartbeat","payload":{"timestamp":1999}})");
}

TEST(PollCycle, NoFindingAsksTheGateNothing) {
  FakeSteps steps;
  EmitGate gate;
  EXPECT_EQ(poll_json(steps, gate), R"({"event":"heartbeat","payload":{"timestamp":1999}})");
  steps.now.sec += 1;
  EXPECT_EQ(poll_json(steps, gate), "(none)");
  // Had the empty lists been offered, these keys would be cooling now.
  steps.now.sec += 1;
  steps.indicators = {"cpuid_hypervisor"};
  EXPECT_NE(poll_json(steps, gate).find("vm_detected"), std::string::npos);
  steps.assistants = {{5, ""}};
  steps.now.sec += 1;
  EXPECT_NE(poll_json(steps, gate).find(R"("owner_name":"")"), std::string::npos);
}

TEST(PollCycle, CoolingVmIsReportedAgainWithTheIndicatorsOfThatLaterPoll) {
  FakeSteps steps;
  EmitGate gate;
  steps.indicators = {"cpuid_hypervisor"};
  EXPECT_NE(poll_json(steps, gate).find(R"(["cpuid_hypervisor"])"), std::string::npos);
  steps.indicators = {"cpuid_hypervisor", "mac_oui_vbox"};
  steps.now.sec += 30;
  EXPECT_EQ(poll_json(steps, gate).find("vm_detected"), std::string::npos);
  steps.now.sec += 30;
  EXPECT_NE(poll_json(steps, gate).find(R"(["cpuid_hypervisor","mac_oui_vbox"])"),
            std::string::npos);
}

TEST(LinuxWatchdog, FirstPollBeatsAtOnceEvenSoonAfterBootThenWaitsFiveSeconds) {
  testing::FakeRoot proc;
  testing::add_full_view(proc, 42);
  Instant mono{3, 0};  // the monotonic clock starts at boot: ten seconds back lies before its zero
  LinuxWatchdog watchdog(physical_machine(proc.path(), mono));

  auto event = watchdog.poll();
  ASSERT_TRUE(event);
  EXPECT_EQ(to_json(*event), R"({"event":"heartbeat","payload":{"timestamp":1765319742123}})");
  for (int second = 1; second <= 4; ++second) {
    mono.sec += 1;
    EXPECT_FALSE(watchdog.poll()) << second;
  }
  mono.sec += 1;
  EXPECT_TRUE(watchdog.poll());
}

TEST(LinuxWatchdog, ReportsAFixtureMachineInPriorityOrder) {
  using namespace std::string_literals;
  testing::FakeRoot proc;
  testing::add_full_view(proc, 42, "99");
  testing::add_entry(proc, "300", 300, {"obs", 'S', 1, 0, 1, 200}, "obs\0"s, "/usr/bin/obs");
  testing::add_entry(proc, "400", 400, {"python3", 'S', 1, 0, 1, 150},
                     "python3\0interview\0coder\0"s, "/usr/bin/python3.11");

  Instant mono{1000, 0};
  LinuxWatchdog watchdog(physical_machine(proc.path(), mono));

  std::vector<std::string> lines;
  for (int turn = 0; turn < 5; ++turn) {
    const auto event = watchdog.poll();
    lines.push_back(event ? to_json(*event) : "(none)");
    mono.sec += 1;
  }
  EXPECT_EQ(
      lines,
      (std::vector<std::string>{
          R"j({"event":"suspicious_process_detected","payload":{"pid":42,"name":"self","reason":"Process is being traced (status/TracerPid)"}})j",
          R"({"event":"suspicious_process_detected","payload":{"pid":300,"name":"obs","reason":"Screen Recorder"}})",
          R"({"event":"stealth_overlay_detected","payload":{"severity":"high","owner_name":"python3","owner_pid":400,"bundle_id":null,"window_layer":0,"window_alpha":1.0,"matched_list":"denylist","capture_excluded":false,"method":"process_name","reason":"running process matches AI-assistant denylist: 'python3'","os_note":null}})",
          R"({"event":"heartbeat","payload":{"timestamp":1765319742123}})",
          "(none)",
      }));
}

TEST(LinuxWatchdog, VmIsAskedOnlyWithIndicatorsAndReportedWithThoseOfTheLaterPoll) {
  testing::FakeRoot proc;
  testing::add_full_view(proc, 42);
  Instant mono{500, 0};
  bool hypervisor = false;
  std::optional<MacAddress> card;
  Platform platform = physical_machine(proc.path(), mono);
  platform.cpuid = [&hypervisor](std::uint32_t leaf) {
    return std::optional<CpuidLeaf>(CpuidLeaf{1, 0, leaf == 1 && hypervisor ? 1U << 31 : 0, 0});
  };
  platform.mac_address = [&card] { return card; };
  LinuxWatchdog watchdog(platform);
  const auto poll_at = [&](std::int64_t sec) {
    mono.sec = sec;
    const auto event = watchdog.poll();
    return event ? to_json(*event) : "(none)";
  };

  EXPECT_NE(poll_at(500).find("heartbeat"), std::string::npos);
  hypervisor = true;
  EXPECT_EQ(
      poll_at(501),
      R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":0.8,"indicators":["cpuid_hypervisor"]}})");
  card = MacAddress{{0x08, 0x00, 0x27, 0x12, 0x34, 0x56}};
  // Cooling: the poll goes on to the heartbeat.
  const std::string heartbeat = R"({"event":"heartbeat","payload":{"timestamp":1765319742123}})";
  EXPECT_EQ(poll_at(530), heartbeat);
  EXPECT_EQ(poll_at(560), heartbeat);  // 59 s after the report
  EXPECT_EQ(
      poll_at(561),
      R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":0.8,"indicators":["cpuid_hypervisor","mac_oui_vbox"]}})");
}

}  // namespace
}  // namespace sidecar
