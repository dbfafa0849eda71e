#pragma once
// Push button and checkbox: skinned frames chosen by the visual state.

#include "skin/swcontrol.h"

class CSWButton : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "button"; }
  // Skin frame by state (normal 0, hover 1, pressed 2, disabled 3), then the
  // caption one pixel lower. Nothing at all without a skin.
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
};

// Frame of a button skin for a visual state.
int ButtonFrame(int state);

class CSWCheckBox : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "checkbox"; }
  // The box at its natural size, centred vertically at the left edge, and the
  // caption DpiScale(7) to its right.
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  // Toggles on a left-button release and on a Space release.
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
  HRESULT get_accDefaultAction(VARIANT child, BSTR* action) override;

 private:
  void Toggle();
};

// Frame of the checkbox skin: unchecked 0 / 1 (hover or pressed), checked 2 / 3.
int CheckBoxFrame(bool checked, int state);
