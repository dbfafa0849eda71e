// Creates a rich edit control the way a layout does, in a process that leaves
// the DLL search as it is; exits with 0 when the rich-edit module was loaded.
#include <windows.h>

#include "skin/swedit.h"

int wmain() {
  CSWRichEdit rich;
  LRESULT result = 0;
  rich.OnMessage(nullptr, WM_CREATE, 0, 0, result);
  return ::GetModuleHandleW(L"riched20.dll") ? 0 : 1;
}
