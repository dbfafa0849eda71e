#include "skin/swlist.h"

#include <windowsx.h>

#include "skin/swskin.h"

void CSWList::SetHostWindow(HWND window) {
  CSWControl::SetHostWindow(window);
  scrollbar_.SetHostWindow(window);
}

void CSWList::SetAdapter(std::shared_ptr<ISWListAdapter> adapter) {
  adapter_ = std::move(adapter);
  hovered_item_ = -1;
  pressed_item_ = -1;
  if (created_) {
    SetUpScrolling();
    Invalidate();
  }
}

void CSWList::SetUpScrolling() {
  const int count = adapter_ ? adapter_->GetCount() : 0;
  const int total = adapter_ ? adapter_->GetTotalHeight() : 0;
  scrollbar_.SetOwner(this);
  scrollbar_.SetTrackRect(rect_);
  const CSWSkin* track = scrollbar_.GetTrackSkin();
  const int barWidth = track ? track->GetStateSize().Width : 5;
  scrollbar_.SetRect(rect_.right - barWidth, rect_.top, rect_.right, rect_.bottom);
  scrollbar_.SetPosition(0);
  scrollbar_.SetContentSize(total);
  scrollbar_.Layout();
  scrollbar_.SetPageSize(rect_.bottom - rect_.top);
  scrollbar_.Layout();
  // The wheel moves by the average item height; without items it stays.
  if (count > 0) scrollbar_.SetWheelStep(total / count);
}

int CSWList::ScrollOffset() const { return scrollbar_.IsVisible() ? scrollbar_.GetPosition() : 0; }

int CSWList::ItemTop(int index) const {
  int top = 0;
  for (int i = 0; i < index; ++i) top += adapter_->GetItemHeight(i);
  return top;
}

RECT CSWList::ItemRect(int index) const {
  if (!adapter_ || index < 0) return RECT{};
  const int top = rect_.top + ItemTop(index) - ScrollOffset();
  return RECT{rect_.left, top, rect_.right, top + adapter_->GetItemHeight(index)};
}

int CSWList::ItemAt(int y) const {
  if (!adapter_) return -1;
  const int content = y - rect_.top + ScrollOffset();
  const int count = adapter_->GetCount();
  int start = 0;
  for (int i = 0; i < count; ++i) {
    const int height = adapter_->GetItemHeight(i);
    if (content > start && content < start + height) return i;
    start += height;
  }
  return -1;
}

void CSWList::DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) {
  if (!adapter_) return;
  const int count = adapter_->GetCount();
  int top = rect_.top - ScrollOffset();
  for (int i = 0; i < count && top < rect_.bottom; ++i) {
    const int height = adapter_->GetItemHeight(i);
    const RECT item{rect_.left, top, rect_.right, top + height};
    top += height;
    if (item.bottom <= rect_.top) continue;
    const bool crossesEdge = item.top < rect_.top || item.bottom > rect_.bottom;
    if (!crossesEdge) {
      adapter_->DrawItem(graphics, style_, i, item, i == hovered_item_, i == pressed_item_);
      continue;
    }
    // Keep what was clipped before (the window's dirty region) and add the list.
    Gdiplus::Region saved;
    graphics.GetClip(&saved);
    graphics.IntersectClip(Gdiplus::Rect(rect_.left, rect_.top, rect_.right - rect_.left,
                                         rect_.bottom - rect_.top));
    adapter_->DrawItem(graphics, style_, i, item, i == hovered_item_, i == pressed_item_);
    graphics.SetClip(&saved);
  }
  scrollbar_.DrawContent(graphics, clip, debugOutline);
}

void CSWList::InvalidateItem(int index) {
  const RECT item = ItemRect(index);
  if (item.bottom > rect_.top) SendNotify(SWN_INVALIDATE, item);
}

void CSWList::TrackItem(int& tracked, int index) {
  if (tracked == index) return;
  if (tracked >= 0) InvalidateItem(tracked);
  tracked = index;
}

void CSWList::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  LRESULT barResult = 0;
  switch (msg) {
    case WM_CREATE:
      Dispatch(scrollbar_, window, WM_CREATE, wParam, lParam, barResult);
      scrollbar_.SetHostWindow(host_);
      SetUpScrolling();
      CSWControl::OnMessage(window, msg, wParam, lParam, result);
      return;
    case WM_MOUSEWHEEL:
      result = 1;
      if (scrollbar_.IsVisible()) {
        Dispatch(scrollbar_, window, msg, wParam, lParam, barResult);
        result = barResult;
      }
      handled_ = true;
      return;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP: {
      if (scrollbar_.IsVisible())
        Dispatch(scrollbar_, window, msg, wParam, lParam, barResult);
      handled_ = true;
      result = 0;
      if (!adapter_) return;
      const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      const int index = ItemAt(point.y);
      if (index < 0) return;
      const int itemY = point.y - rect_.top + ScrollOffset() - ItemTop(index);
      if (adapter_->OnItemMouse(msg, index, point.x - rect_.left, itemY))
        SendNotify(SWN_INVALIDATE, ItemRect(index));
      TrackItem(msg == WM_MOUSEMOVE ? hovered_item_ : pressed_item_, index);
      return;
    }
    case WM_MOUSELEAVE:
      if (hovered_item_ >= 0) {
        InvalidateItem(hovered_item_);
        hovered_item_ = -1;
      }
      handled_ = true;
      result = 0;
      return;
    default:
      CSWControl::OnMessage(window, msg, wParam, lParam, result);
      return;
  }
}
