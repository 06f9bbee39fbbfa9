#include "host/image_capture.h"

namespace sidecar {

bool image_capture_due(const ImageCaptureFacts& facts) {
  if (facts.kind == EntryKind::KernelThread || facts.state == RunState::Dead ||
      (facts.state == RunState::Zombie && !facts.ended_leader) ||
      facts.state == RunState::DiskSleep) {
    return false;
  }
  if (facts.new_image || !facts.args_captured) return true;
  return (facts.layout_hidden || !facts.exe_captured) && facts.rotation_due;
}

}  // namespace sidecar
