#include "skin/swprogressbar.h"

#include <algorithm>
#include <cwchar>

#include "skin/skin_tables.h"
#include "skin/skin_values.h"
#include "skin/swskin.h"
#include "skin/swstyle.h"
#include "skin/swtext.h"

int ProgressBarWidth(int width, int position) {
  const int bar = static_cast<int>(width * (position / 100.0));
  return std::clamp(bar, 0, std::max(width, 0));
}

int CSWProgressBar::SetAttribute(std::string name, std::string value) {
  if (CSWControl::SetAttribute(name, value)) return 1;
  if (name == "progresspos") {
    position_ = skin::ParseDecimal(value);
  } else if (name == "ShowPercent") {
    show_percent_ = skin::ParseBool(value);
  } else if (name == "skinbar") {
    bar_skin_ = ::GetSkin(value);
  } else if (name == "skinbg") {
    background_skin_ = ::GetSkin(value);
  } else {
    return 0;
  }
  return 1;
}

void CSWProgressBar::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!background_skin_ || !bar_skin_) return;
  Gdiplus::Rect area = ControlRect(rect_);
  background_skin_->Draw(graphics, &area, 0, 1.0f);
  Gdiplus::Rect bar = ControlRect(rect_);
  bar.Width = ProgressBarWidth(bar.Width, position_);
  bar_skin_->Draw(graphics, &bar, 0, 1.0f);
  if (!show_percent_ || !style_) return;
  wchar_t text[16];
  std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%d%%", position_);
  style_->DrawStyledText(graphics, ControlRect(rect_), text, kStateNormal);
}
