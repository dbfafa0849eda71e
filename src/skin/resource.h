#pragma once
// Resources of the program's own module: XML documents and images.

#include <windows.h>

#include <cstdint>
#include <string>

namespace Gdiplus {
class Image;
}

// Copies the resource `id` of type `type` (e.g. L"XML", L"PNG") of the
// program's own module into `bytes`, followed by one NUL. False when the
// resource is missing, empty, or cannot be loaded or locked.
bool LoadResourceBytes(uint16_t id, const wchar_t* type, std::string& bytes);

// The decoded image of resource `id` (looked up as id modulo 65536) of type
// `type`, from a process-wide cache keyed by the full 32-bit id. Images are
// never freed. Null when the resource is missing or cannot be decoded (GDI+
// must have been started).
Gdiplus::Image* LoadImageResource(uint32_t id, const wchar_t* type);
