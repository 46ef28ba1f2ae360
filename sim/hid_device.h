// Something that answers on the far side of a HID handle: the board
// simulator, or a test's scripted device.
#pragma once

#include <cstdint>

namespace vx::sim {

class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // One written 65-byte report; false makes the WriteFile fail.
  virtual bool Receive(const uint8_t* report65) = 0;
  // One 65-byte read; false makes the ReadFile fail.
  virtual bool Answer(uint8_t* report65) = 0;
  // An unplugged device is not enumerated, cannot be opened, and fails every
  // transfer.
  virtual bool Plugged() const { return true; }
  // Changes at every replug: handles opened before it stay dead.
  virtual uint32_t PlugGeneration() const { return 0; }
};

}  // namespace vx::sim
