// Writes one INFO record with the text given on its command line, then one
// ERROR record, so that tests can check records written by separate runs.
#include "common/logging.h"

int wmain(int argc, wchar_t** argv) {
  const std::wstring marker = argc > 1 ? argv[1] : L"";
  LOG_INFO << "writer info " << marker;
  LOG_ERROR << "writer error " << marker;
  return 0;
}
