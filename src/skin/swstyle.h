#pragma once
// A text style: font size and style bits, alignment and a colour per state.

#include "skin/gdiplus_include.h"

#include <cstdint>
#include <string>

#include "skin/swobject.h"

// Visual states of a control, as the styles and skins use them.
enum ControlState { kStateNormal = 0, kStateHover = 1, kStatePressed = 2, kStateDisabled = 4 };

class CSWStyle : public CSWObject {
 public:
  bool IsType(const std::string& name) const override;
  int SetAttribute(std::string name, std::string value) override;

  // Draws `text` into `rect` with the colour and font style of `state`,
  // aligned, whole lines only, trimmed with an ellipsis. Draws nothing when
  // no usable font family exists.
  void DrawStyledText(Gdiplus::Graphics& graphics, const Gdiplus::Rect& rect,
                      const std::wstring& text, int state) const;

  // Colour of a state: hover, pressed, disabled, else normal.
  uint32_t ColourForState(int state) const;
  // Font style bits of a state: hover bits added while hovered or pressed.
  int FontStyleForState(int state) const;

  uint32_t GetNormalColour() const { return normal_colour_; }
  uint32_t GetHoverColour() const { return hover_colour_; }
  uint32_t GetPushColour() const { return push_colour_; }
  uint32_t GetDisableColour() const { return disable_colour_; }
  int GetFontSize() const { return font_size_; }
  int GetFontStyle() const { return font_style_; }
  int GetHoverFontStyle() const { return hover_font_style_; }
  int GetHAlign() const { return h_align_; }  // 0 left, 1 middle, 2 right
  int GetVAlign() const { return v_align_; }  // 0 top, 1 middle, 2 bottom

 private:
  uint32_t normal_colour_ = 0;
  uint32_t hover_colour_ = 0;
  uint32_t push_colour_ = 0;
  uint32_t disable_colour_ = 0;
  int font_size_ = 12;
  int font_style_ = 0;
  int hover_font_style_ = 0;
  int h_align_ = 0;
  int v_align_ = 1;
};

namespace skin {
// The family text is drawn with: the styles' family when the system has it,
// else the fallback family. Null when no family exists at all.
const Gdiplus::FontFamily* TextFontFamily();
// The generic sans-serif family, else the first installed family; null when
// none exists.
const Gdiplus::FontFamily* FallbackFontFamily();
}  // namespace skin
