// The diagnostics console; normal start-up never opens it.
#pragma once

#include "platform/platform.h"

namespace vx {

constexpr const char* kConsoleTitle = "QUARNWELL plugin - debug console";
constexpr const char* kConsoleBanner = "Vendrix plugin activated";

class MyConsoleClass {
 public:
  explicit MyConsoleClass(ConsoleApi* api);
  virtual ~MyConsoleClass();
  MyConsoleClass(const MyConsoleClass&) = delete;
  MyConsoleClass& operator=(const MyConsoleClass&) = delete;

  // Writes the banner at the top-left corner when a console was allocated.
  void WriteBanner();

  Handle window = 0;
  Handle output = 0;
  int32_t allocated = 0;

 private:
  ConsoleApi* api_;
};

}  // namespace vx
