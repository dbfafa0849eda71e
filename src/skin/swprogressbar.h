#pragma once
// Progress bar: a background skin, a bar skin as wide as the position in
// percent of the control, and optionally the position as "42%".

#include "skin/swcontrol.h"

class CSWProgressBar : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "progressbar"; }
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  bool WantsHandCursor() const override { return false; }
  // progresspos (set again at run time to move the bar), ShowPercent,
  // skinbar, skinbg.
  int SetAttribute(std::string name, std::string value) override;

  int GetPosition() const { return position_; }
  bool GetShowPercent() const { return show_percent_; }

 private:
  CSWSkin* bar_skin_ = nullptr;
  CSWSkin* background_skin_ = nullptr;
  bool show_percent_ = true;
  int position_ = 0;
};

// Width of the bar of a control `width` pixels wide at `position` percent,
// kept within 0 .. width.
int ProgressBarWidth(int width, int position);
