#include "skin/msgbox.h"

#include "skin/skin_tables.h"

namespace {
constexpr int kProgramIconId = 101;
}  // namespace

CMsgBox::CMsgBox(int type, std::wstring title, std::wstring message)
    : CSWindowImlp(kMessageBoxLayoutId),
      title_(std::move(title)),
      message_(std::move(message)),
      type_(type) {}

void CMsgBox::OnInitDialog(HWND hwnd) {
  ::SetWindowLongPtrW(hwnd, GWL_STYLE, ::GetWindowLongPtrW(hwnd, GWL_STYLE) | WS_MINIMIZEBOX);
  ::SetWindowTextW(hwnd, GetString(L"apptitle").c_str());
  HICON icon = ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgramIconId));
  if (icon) ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  if (!title_.empty()) SetControlText(kMsgBoxTitleText, title_);
  if (!message_.empty()) SetControlText(kMsgBoxMessageText, message_);
  if (type_ == MB_YESNO) {
    ShowControl(kMsgBoxYes, true);
    ShowControl(kMsgBoxNo, true);
    ShowControl(kMsgBoxConfirm, false);
  } else if (type_ == MB_OK) {
    ShowControl(kMsgBoxYes, false);
    ShowControl(kMsgBoxNo, false);
    ShowControl(kMsgBoxConfirm, true);
  }
}

bool CMsgBox::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                   LRESULT& result) {
  if (msg == WM_INITDIALOG) {
    OnInitDialog(hwnd);
  } else if (msg == WM_COMMAND) {
    switch (LOWORD(wParam)) {
      case kMsgBoxCloseButton:
      case kMsgBoxNo:
        EndModal(kMsgBoxNo);
        return true;
      case kMsgBoxYes:
        EndModal(kMsgBoxYes);
        return true;
      case kMsgBoxConfirm:
        EndModal(kMsgBoxConfirm);
        return true;
      default:
        break;
    }
  }
  return CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
}

int ShowMsgBox(HWND owner, int type, const std::wstring& title, const std::wstring& message) {
  CMsgBox box(type, title, message);
  return box.DoModal(owner);
}
