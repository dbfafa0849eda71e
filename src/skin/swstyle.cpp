#include "skin/swstyle.h"

#include <memory>
#include <vector>

#include "skin/dpi.h"
#include "skin/skin_values.h"

namespace {

const wchar_t kStyleFontFamily[] = L"微软雅黑";

// 0, 1 or 2 for the near, middle and far names; any other value keeps `current`.
int AlignmentFromName(const std::string& value, const char* near_name, const char* far_name,
                      int current) {
  if (value == near_name) return 0;
  if (value == "middle") return 1;
  if (value == far_name) return 2;
  return current;
}

Gdiplus::StringAlignment ToStringAlignment(int alignment) {
  switch (alignment) {
    case 1: return Gdiplus::StringAlignmentCenter;
    case 2: return Gdiplus::StringAlignmentFar;
    default: return Gdiplus::StringAlignmentNear;
  }
}

std::unique_ptr<Gdiplus::FontFamily> FirstInstalledFamily() {
  Gdiplus::InstalledFontCollection installed;
  const INT count = installed.GetFamilyCount();
  if (count <= 0) return nullptr;
  std::vector<Gdiplus::FontFamily> families(static_cast<size_t>(count));
  INT found = 0;
  if (installed.GetFamilies(count, families.data(), &found) != Gdiplus::Ok) return nullptr;
  for (INT i = 0; i < found; ++i) {
    if (!families[i].IsAvailable()) continue;
    WCHAR name[LF_FACESIZE] = {};
    if (families[i].GetFamilyName(name) != Gdiplus::Ok) continue;
    auto family = std::make_unique<Gdiplus::FontFamily>(name);
    if (family->IsAvailable()) return family;
  }
  return nullptr;
}

}  // namespace

bool CSWStyle::IsType(const std::string& name) const { return name == "style"; }

int CSWStyle::SetAttribute(std::string name, std::string value) {
  if (CSWObject::SetAttribute(name, value)) return 1;
  if (name == "FontSize") font_size_ = skin::ParseDecimal(value);
  else if (name == "FontStyle") font_style_ = skin::ParseDecimal(value);
  else if (name == "HoverFontStyle") hover_font_style_ = skin::ParseDecimal(value);
  else if (name == "HAlign") h_align_ = AlignmentFromName(value, "left", "right", h_align_);
  else if (name == "VAlign") v_align_ = AlignmentFromName(value, "top", "bottom", v_align_);
  else if (name == "NormalTextColor") normal_colour_ = skin::ParseColour(value);
  else if (name == "HoverTextColor") hover_colour_ = skin::ParseColour(value);
  else if (name == "PushTextColor") push_colour_ = skin::ParseColour(value);
  else if (name == "DisableTextColor") disable_colour_ = skin::ParseColour(value);
  else return 0;
  return 1;
}

uint32_t CSWStyle::ColourForState(int state) const {
  switch (state) {
    case kStateHover: return hover_colour_;
    case kStatePressed: return push_colour_;
    case kStateDisabled: return disable_colour_;
    default: return normal_colour_;
  }
}

int CSWStyle::FontStyleForState(int state) const {
  return (state >= 1 && state <= 3) ? (font_style_ | hover_font_style_) : font_style_;
}

namespace skin {

// Families are chosen once, on the UI thread, after GDI+ was started, and
// kept until exit without destruction, since GDI+ may be shut down first.
const Gdiplus::FontFamily* FallbackFontFamily() {
  static const Gdiplus::FontFamily* family = []() -> const Gdiplus::FontFamily* {
    // Null, or unusable, when the system maps no sans-serif family.
    const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
    if (generic && generic->IsAvailable()) return generic;
    return FirstInstalledFamily().release();
  }();
  return family;
}

const Gdiplus::FontFamily* TextFontFamily() {
  static const Gdiplus::FontFamily* family = []() -> const Gdiplus::FontFamily* {
    auto styled = std::make_unique<Gdiplus::FontFamily>(kStyleFontFamily);
    if (styled->IsAvailable()) return styled.release();
    return FallbackFontFamily();
  }();
  return family;
}

}  // namespace skin

namespace {

std::unique_ptr<Gdiplus::Font> MakeFont(const Gdiplus::FontFamily* family, int size, int style) {
  if (!family) return nullptr;
  auto font = std::make_unique<Gdiplus::Font>(family, static_cast<Gdiplus::REAL>(size), style,
                                              Gdiplus::UnitPixel);
  if (font->GetLastStatus() != Gdiplus::Ok) return nullptr;
  return font;
}

}  // namespace

void CSWStyle::DrawStyledText(Gdiplus::Graphics& graphics, const Gdiplus::Rect& rect,
                              const std::wstring& text, int state) const {
  if (text.empty()) return;
  const int size = DpiScale(font_size_);
  const int style = FontStyleForState(state);
  // A family may lack a style (bold, italic): then the fallback family is used.
  std::unique_ptr<Gdiplus::Font> font = MakeFont(skin::TextFontFamily(), size, style);
  if (!font) font = MakeFont(skin::FallbackFontFamily(), size, style);
  if (!font) return;

  Gdiplus::SolidBrush brush(Gdiplus::Color(ColourForState(state)));
  Gdiplus::StringFormat format;
  format.SetAlignment(ToStringAlignment(h_align_));
  format.SetLineAlignment(ToStringAlignment(v_align_));
  format.SetFormatFlags(Gdiplus::StringFormatFlagsLineLimit);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);

  graphics.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
  graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
  const Gdiplus::RectF layout(static_cast<Gdiplus::REAL>(rect.X), static_cast<Gdiplus::REAL>(rect.Y),
                              static_cast<Gdiplus::REAL>(rect.Width),
                              static_cast<Gdiplus::REAL>(rect.Height));
  graphics.DrawString(text.c_str(), -1, font.get(), layout, &format, &brush);
}
