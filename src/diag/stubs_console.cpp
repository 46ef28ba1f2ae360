// Placeholder bodies until the console lands.
#include "diag/console.h"

namespace vx {
MyConsoleClass::MyConsoleClass(ConsoleApi* api) : api_(api) {}
MyConsoleClass::~MyConsoleClass() {}
void MyConsoleClass::WriteBanner() {}
}  // namespace vx
