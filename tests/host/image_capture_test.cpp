#include "host/image_capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace sidecar {
namespace {

// A running process whose image was captured whole: nothing is due until one fact changes.
ImageCaptureFacts settled() {
  ImageCaptureFacts facts;
  facts.state = RunState::Sleeping;
  facts.args_captured = true;
  facts.exe_captured = true;
  return facts;
}

TEST(ImageCapture, DueForANewOrIncompleteImageAndOnTheRotationForAHiddenOne) {
  struct Case {
    std::string name;
    std::function<void(ImageCaptureFacts&)> change;
    bool due;
  };
  const Case cases[] = {
      {"settled", [](ImageCaptureFacts&) {}, false},
      {"a new image", [](ImageCaptureFacts& f) { f.new_image = true; }, true},
      {"no arguments yet", [](ImageCaptureFacts& f) { f.args_captured = false; }, true},
      {"the rotation alone", [](ImageCaptureFacts& f) { f.rotation_due = true; }, false},
      {"a hidden layout alone", [](ImageCaptureFacts& f) { f.layout_hidden = true; }, false},
      {"a hidden layout on the rotation",
       [](ImageCaptureFacts& f) { f.layout_hidden = f.rotation_due = true; }, true},
      {"no path on the rotation",
       [](ImageCaptureFacts& f) {
         f.exe_captured = false;
         f.rotation_due = true;
       },
       true},
      {"no path off the rotation", [](ImageCaptureFacts& f) { f.exe_captured = false; }, false},
      {"a kernel thread with a new image",
       [](ImageCaptureFacts& f) {
         f.kind = EntryKind::KernelThread;
         f.new_image = true;
       },
       false},
      {"a thread of a process", [](ImageCaptureFacts& f) { f.kind = EntryKind::UserThread; },
       false},
      {"dead",
       [](ImageCaptureFacts& f) {
         f.state = RunState::Dead;
         f.new_image = true;
       },
       false},
      {"a zombie",
       [](ImageCaptureFacts& f) {
         f.state = RunState::Zombie;
         f.new_image = true;
       },
       false},
      {"a zombie whose threads run on",
       [](ImageCaptureFacts& f) {
         f.state = RunState::Zombie;
         f.ended_leader = true;
         f.new_image = true;
       },
       true},
      {"in uninterruptible sleep",
       [](ImageCaptureFacts& f) {
         f.state = RunState::DiskSleep;
         f.new_image = true;
       },
       false},
      {"stopped", [](ImageCaptureFacts& f) { f.state = RunState::Stopped, f.new_image = true; },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageCaptureFacts facts = settled();
    c.change(facts);
    EXPECT_EQ(image_capture_due(facts), c.due);
  }
}

}  // namespace
}  // namespace sidecar
