#include "art_preview.h"

#include <vector>

#include "gdiplus_environment.h"
#include "skin/dpi.h"
#include "skin/skin_tables.h"

namespace {

struct Piece {
  const char* skin;  // or null for text
  const char* style;
  const wchar_t* text;
  int state;
  int x, y, w, h;  // window pixels at 100 %
};

Gdiplus::Rect Scaled(int x, int y, int w, int h) {
  return Gdiplus::Rect(DpiScale(x), DpiScale(y), DpiScale(w), DpiScale(h));
}

void DrawPieces(Gdiplus::Graphics& g, int ox, int oy, const std::vector<Piece>& pieces) {
  for (const Piece& p : pieces) {
    Gdiplus::Rect rect = Scaled(ox + p.x, oy + p.y, p.w, p.h);
    if (p.skin) {
      if (CSWSkin* skin = GetSkin(p.skin)) skin->Draw(g, &rect, p.state);
    }
    if (p.text) {
      if (const CSWStyle* style = GetStyle(p.style)) style->DrawStyledText(g, rect, p.text, p.state);
    }
  }
}

void DrawWindow(Gdiplus::Graphics& g, int ox, int oy, int view_w, int view_h, const char* bg,
                int bg_w, int bg_h) {
  DrawPieces(g, ox, oy,
             {{"frameborder", nullptr, nullptr, 0, 23, 18, view_w, view_h},
              {bg, nullptr, nullptr, 0, 30, 19, bg_w, bg_h}});
}

void DrawChoosePage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 554, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"minbtn", nullptr, nullptr, 0, 480, 8, 26, 22},
              {"closebtn", nullptr, nullptr, 1, 506, 8, 26, 22},
              {"applogo", nullptr, nullptr, 0, 75, 29, 160, 160},
              {nullptr, "bigtext_white", L"Orvanta", 0, 240, 85, 300, 50},
              {nullptr, "normallinktext_white", L"自定义安装", 0, 387, 138, 100, 20},
              {"downarrow", nullptr, nullptr, 0, 467, 146, 12, 7},
              {nullptr, "smalltext_white", L"安装目录", 0, 21, 197, 60, 18},
              {"editbg", nullptr, nullptr, 0, 80, 192, 363, 30},
              {nullptr, "edittext", L"C:\\Program Files\\Orvanta\\", 0, 88, 192, 350, 30},
              {"btn_white_transe", "smallbtntext_white", L"更改", 0, 453, 192, 65, 30},
              {"btn_blue", "bigbtntext_white", L"立即安装", 0, 206, 264, 127, 40},
              {"checkbox", nullptr, nullptr, 0, 20, 334, 0, 0},
              {nullptr, "normaltext", L"同意", 0, 41, 331, 37, 20},
              {nullptr, "normal_link_text", L"Kestrelon软件许可协议", 0, 72, 331, 150, 20},
              {"checkbox", nullptr, nullptr, 2, 301, 334, 0, 0},
              {nullptr, "normaltext", L"同意", 0, 322, 331, 37, 20},
              {nullptr, "normal_link_text", L"云计划", 1, 351, 331, 53, 20},
              {nullptr, "normaltext", L"和", 0, 396, 331, 17, 20},
              {nullptr, "normal_link_text", L"用户体验改善计划", 0, 412, 331, 126, 20}});
}

void DrawProgressPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 554, 374, "installbg", 540, 360);
  if (CSWSkin* animation = GetSkin("installanimate")) animation->SelectFrame(3);
  DrawPieces(g, ox + 30, oy + 19,
             {{"installanimate", nullptr, nullptr, 0, 0, 0, 540, 360},
              {"minbtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {nullptr, "smalltext_gray", L"正在安装，请耐心等待...", 0, 21, 276, 170, 18},
              {"progressbg", nullptr, nullptr, 0, 20, 300, 499, 8},
              {"progressbar", nullptr, nullptr, 0, 20, 300, 200, 8}});
  if (CSWSkin* animation = GetSkin("installanimate")) animation->SelectFrame(0);
}

void DrawFinishedPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 554, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"closebtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {"installok", nullptr, nullptr, 0, 208, 50, 28, 28},
              {nullptr, "middletext_white", L"安装完成", 0, 239, 50, 127, 30},
              {"qrcode", nullptr, nullptr, 0, 230, 90, 80, 80},
              {nullptr, "normaltext_white", L"扫一扫下载手机Orvanta", 0, 205, 182, 150, 20},
              {"btn_blue", "bigbtntext_white", L"立即使用", 1, 206, 280, 127, 40}});
}

void DrawFailedPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 554, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"closebtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {"fail", nullptr, nullptr, 0, 153, 52, 240, 102},
              {nullptr, "middletext_white_center", L"安装失败", 0, 206, 170, 127, 30},
              {"btn_blue", "bigbtntext_white", L"退出重试", 2, 206, 280, 127, 40}});
}

void DrawMessageBox(Gdiplus::Graphics& g, int ox, int oy) {
  DrawPieces(g, ox, oy,
             {{"frameborder", nullptr, nullptr, 0, 3, 5, 414, 190},
              {"msgboxbg", nullptr, nullptr, 0, 10, 6, 400, 176}});
  DrawPieces(g, ox + 10, oy + 6,
             {{nullptr, "smalltext_white", L"温馨提示", 0, 20, 8, 250, 20},
              {"closebtn", nullptr, nullptr, 0, 366, 8, 26, 22},
              {"msgboxlogo", nullptr, nullptr, 0, 20, 54, 50, 50},
              {nullptr, "smallnormaltext", L"您有Orvanta账号在运行，是否退出继续安装？", 0, 90, 69, 308, 20},
              {"btn_blue", "smallbtntext_white", L"是", 0, 265, 127, 53, 28},
              {"btn_white", "smallbtntext", L"否", 1, 328, 127, 53, 28}});
}

void DrawConfirmPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 553, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"minbtn", nullptr, nullptr, 0, 480, 8, 26, 22},
              {"closebtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {"applogo", nullptr, nullptr, 0, 75, 29, 160, 160},
              {nullptr, "middletext_white2", L"您是否要卸载Orvanta？", 0, 230, 95, 290, 27},
              {nullptr, "middletext_white2", L"卸载前请确认Orvanta并未运行", 0, 230, 127, 310, 27},
              {"btn_blue", "bigbtntext_white", L"立即卸载", 0, 135, 277, 127, 40},
              {"btn_white", "bigbtntext", L"暂不卸载", 1, 277, 277, 127, 40}});
}

void DrawUninstallProgressPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 553, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"installanimate", nullptr, nullptr, 0, 0, 0, 540, 360},
              {"minbtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {nullptr, "smalltext_gray", L"正在卸载中，请耐心等待...", 0, 21, 276, 170, 18},
              {"progressbg", nullptr, nullptr, 0, 20, 300, 499, 8},
              {"progressbar", nullptr, nullptr, 0, 20, 300, 350, 8}});
}

void DrawUninstalledPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 553, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"closebtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {"success", nullptr, nullptr, 0, 200, 22, 140, 140},
              {nullptr, "middletext_white", L"卸载完成", 0, 223, 172, 127, 30},
              {"btn_blue", "bigbtntext_white", L"关闭", 0, 231, 280, 78, 40}});
}

void DrawUninstallFailedPage(Gdiplus::Graphics& g, int ox, int oy) {
  DrawWindow(g, ox, oy, 553, 374, "installbg", 540, 360);
  DrawPieces(g, ox + 30, oy + 19,
             {{"closebtn", nullptr, nullptr, 0, 506, 8, 26, 22},
              {"fail", nullptr, nullptr, 0, 153, 52, 240, 102},
              {nullptr, "middletext_white_center", L"卸载失败，请重试", 0, 175, 170, 190, 30},
              {"btn_blue", "bigbtntext_white", L"退出重试", 0, 206, 280, 127, 40}});
}

CLSID PngEncoder() {
  UINT count = 0, size = 0;
  Gdiplus::GetImageEncodersSize(&count, &size);
  std::vector<uint64_t> buffer(size / 8 + 1);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  Gdiplus::GetImageEncoders(count, size, codecs);
  for (UINT i = 0; i < count; ++i)
    if (std::wstring(codecs[i].MimeType) == L"image/png") return codecs[i].Clsid;
  return CLSID{};
}

bool SavePreview(const std::wstring& path, void (*const pages[4])(Gdiplus::Graphics&, int, int)) {
  Canvas canvas(DpiScale(1200), DpiScale(1050));
  Gdiplus::Graphics& g = canvas.graphics();
  g.Clear(Gdiplus::Color(255, 0xC8, 0xCC, 0xD4));
  for (int i = 0; i < 4; ++i) pages[i](g, i % 2 * 600, i / 2 * 400);
  DrawMessageBox(g, 90, 820);
  const CLSID png = PngEncoder();
  return canvas.bitmap().Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

}  // namespace

bool SaveInstallerPreview(const std::wstring& path) {
  void (*const pages[4])(Gdiplus::Graphics&, int, int) = {DrawChoosePage, DrawProgressPage,
                                                          DrawFinishedPage, DrawFailedPage};
  return SavePreview(path, pages);
}

bool SaveUninstallerPreview(const std::wstring& path) {
  void (*const pages[4])(Gdiplus::Graphics&, int, int) = {
      DrawConfirmPage, DrawUninstallProgressPage, DrawUninstalledPage, DrawUninstallFailedPage};
  return SavePreview(path, pages);
}

std::wstring PreviewFolder() {
  wchar_t linux_path[MAX_PATH] = {};
  GetEnvironmentVariableW(L"ORV_BINARY_DIR", linux_path, MAX_PATH);
  std::wstring folder = L"Z:";
  for (const wchar_t* c = linux_path; *c; ++c) folder += (*c == L'/') ? L'\\' : *c;
  return folder + L"\\tests\\skin\\";
}
