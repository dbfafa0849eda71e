// Quorix.dll, the sample application's library: it reports the version it
// was built for, so that a copy (the installer makes "Quorix.zk") can be told
// apart from a stale one.
#include <windows.h>

extern "C" __declspec(dllexport) const wchar_t* QuorixVersion() { return ORV_SAMPLE_VERSION; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
