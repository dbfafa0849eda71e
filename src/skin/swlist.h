#pragma once
// A vertically scrolled list whose items come from an adapter; the list
// keeps the hovered and pressed item and an embedded scrollbar at its right
// edge.

#include <memory>

#include "skin/swscrollbar.h"

// Supplies the items of a CSWList: their count, heights and pictures, and
// what the mouse does to them.
class ISWListAdapter {
 public:
  virtual ~ISWListAdapter() = default;
  virtual int GetCount() = 0;
  // `rect` is the item's rectangle in window client pixels (may reach beyond
  // the list; drawing is clipped to the list).
  virtual void DrawItem(Gdiplus::Graphics& graphics, CSWStyle* style, int index, const RECT& rect,
                        bool hovered, bool pressed) = 0;
  // WM_MOUSEMOVE, WM_LBUTTONDOWN or WM_LBUTTONUP at (x, y) relative to the
  // item's top-left corner; true when the item must be redrawn.
  virtual bool OnItemMouse(UINT msg, int index, int x, int y) = 0;
  virtual int GetTotalHeight() = 0;
  virtual int GetItemHeight(int index) = 0;
};

class CSWList : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "list"; }
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  void SetHostWindow(HWND window) override;

  // Attaches the item source; a list that is already created lays out its
  // scrolling again for the new items.
  void SetAdapter(std::shared_ptr<ISWListAdapter> adapter);
  CSWScrollbar& GetScrollbar() { return scrollbar_; }
  int GetHoveredItem() const { return hovered_item_; }
  int GetPressedItem() const { return pressed_item_; }
  // The item under client point `y` (boundaries hit nothing), or -1.
  int ItemAt(int y) const;
  // The rectangle of item `index` at the current scroll offset.
  RECT ItemRect(int index) const;

 private:
  int ScrollOffset() const;
  int ItemTop(int index) const;  // content coordinate of the item's top
  void SetUpScrolling();
  void InvalidateItem(int index);
  void TrackItem(int& tracked, int index);

  CSWScrollbar scrollbar_;
  std::shared_ptr<ISWListAdapter> adapter_;
  int hovered_item_ = -1;
  int pressed_item_ = -1;
};
