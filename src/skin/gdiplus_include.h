#pragma once
// GDI+ for the skin framework. WIN32_LEAN_AND_MEAN leaves out the COM
// declarations (IStream, PROPID) that the GDI+ headers need.

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
