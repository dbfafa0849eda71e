#pragma once
// The skinned message box: title line, icon, one message and either a
// confirm button or yes and no, over layout 501.

#include <string>

#include "skin/swindow.h"

// Answers of ShowMsgBox (control ids of the layout), besides 8 for a box
// closed by the system close command and 0 for a box that could not open.
enum MsgBoxResult {
  kMsgBoxYes = 5006,
  kMsgBoxNo = 5007,
  kMsgBoxConfirm = 5008,
};

// Control ids of the message box layout.
enum MsgBoxControl {
  kMsgBoxTitleText = 5001,
  kMsgBoxCloseButton = 5003,
  kMsgBoxIcon = 5004,
  kMsgBoxMessageText = 5005,
};

class CMsgBox : public CSWindowImlp<CMsgBox> {
 public:
  // `type` is MB_OK (confirm only) or MB_YESNO; empty texts keep the layout's.
  CMsgBox(int type, std::wstring title, std::wstring message);

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

 private:
  void OnInitDialog(HWND hwnd);

  std::wstring title_;
  std::wstring message_;
  int type_;
};

// Shows a modal message box over `owner` and returns its answer.
int ShowMsgBox(HWND owner, int type, const std::wstring& title, const std::wstring& message);
