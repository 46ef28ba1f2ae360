#include "diag/console.h"

#include <cstring>

namespace vx {

MyConsoleClass::MyConsoleClass(ConsoleApi* api) : api_(api) {
  allocated = (api_ != nullptr && api_->Alloc()) ? 1 : 0;
  if (allocated != 0) {
    api_->SetTitle(kConsoleTitle);
    window = api_->GetWindow();
    output = api_->GetStdOutput();
  }
}

// FreeConsole whatever Alloc returned: without an attached console it does
// nothing.
MyConsoleClass::~MyConsoleClass() {
  if (api_ != nullptr) api_->Free();
}

void MyConsoleClass::WriteBanner() {
  if (allocated == 0) return;
  api_->SetCursor(output, 0, 0);
  api_->Write(output, kConsoleBanner, static_cast<uint32_t>(std::strlen(kConsoleBanner)));
}

}  // namespace vx
