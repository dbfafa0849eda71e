#include "skin/resource.h"

#include "skin/gdiplus_include.h"

#include <cstring>
#include <map>

bool LoadResourceBytes(uint16_t id, const wchar_t* type, std::string& bytes) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  if (!info) return false;
  const DWORD size = SizeofResource(module, info);
  if (size == 0) return false;
  HGLOBAL handle = LoadResource(module, info);
  if (!handle) return false;
  const void* data = LockResource(handle);
  if (!data) return false;
  bytes.assign(static_cast<const char*>(data), size);
  bytes.push_back('\0');
  return true;
}

namespace {

// Global memory holding a copy of `bytes`; null when it cannot be allocated.
HGLOBAL GlobalCopy(const std::string& bytes) {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (!memory) return nullptr;
  void* target = GlobalLock(memory);
  if (!target) {
    GlobalFree(memory);
    return nullptr;
  }
  memcpy(target, bytes.data(), bytes.size());
  GlobalUnlock(memory);
  return memory;
}

// Decodes an image from `memory`, which stays allocated for the image's
// lifetime (GDI+ may read the stream lazily). Null when decoding fails.
Gdiplus::Image* DecodeImage(HGLOBAL memory) {
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(memory, FALSE, &stream))) return nullptr;
  auto* image = new Gdiplus::Image(stream);
  stream->Release();  // the image holds its own reference
  if (image->GetLastStatus() != Gdiplus::Ok) {
    delete image;
    return nullptr;
  }
  return image;
}

}  // namespace

Gdiplus::Image* LoadImageResource(uint32_t id, const wchar_t* type) {
  // Filled on the UI thread while the skin table loads. Images live until
  // exit: GDI+ may already be shut down when static objects are destroyed.
  static auto* cache = new std::map<uint32_t, Gdiplus::Image*>;
  auto found = cache->find(id);
  if (found != cache->end()) return found->second;

  std::string bytes;
  if (!LoadResourceBytes(static_cast<uint16_t>(id & 0xFFFF), type, bytes)) return nullptr;
  bytes.pop_back();  // the appended NUL is not part of the image
  HGLOBAL memory = GlobalCopy(bytes);
  if (!memory) return nullptr;
  Gdiplus::Image* image = DecodeImage(memory);
  if (!image) {
    GlobalFree(memory);
    return nullptr;
  }
  cache->emplace(id, image);
  return image;
}
