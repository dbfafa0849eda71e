#pragma once
// A skin: one image holding a row of equally wide state frames, and the rule
// by which a frame is fitted to a destination rectangle.

#include "skin/gdiplus_include.h"

#include <cstdint>
#include <string>
#include <vector>

#include "skin/swobject.h"

enum SkinRenderType { kRenderSingle = 0, kRenderTile = 1, kRender3Cell = 2, kRender9Cell = 3 };

// The eight border lengths of a 9-cell skin, in the order of "9CellParams".
struct NineCellLengths {
  int top = 0;
  int top_left = 0;
  int top_right = 0;
  int bottom = 0;
  int bottom_left = 0;
  int bottom_right = 0;
  int left = 0;
  int right = 0;
};

// Source rectangle of frame `index` of an image `width` x `height` holding
// `count` frames side by side (width / count truncated). False for count 0.
bool FrameRect(unsigned width, unsigned height, unsigned count, unsigned index,
               Gdiplus::Rect* out);

class CSWSkin : public CSWObject {
 public:
  CSWSkin() = default;
  CSWSkin(const CSWSkin&) = delete;
  CSWSkin& operator=(const CSWSkin&) = delete;

  bool IsType(const std::string& name) const override;
  // Applies the attributes, then loads the image (the display-scale variant
  // first), its frames and the scaled border lengths. 0 when the image id is
  // set but no image could be loaded.
  int LoadAttributes(const boost::property_tree::ptree& node) override;
  int SetAttribute(std::string name, std::string value) override;

  // Frame size in image pixels; 0 x 0 without an image or frames.
  Gdiplus::Size GetStateSize() const;
  // Source rectangle of frame `state`; `out` is left unchanged (and false
  // returned) without an image or frames.
  bool GetStateRect(int state, Gdiplus::Rect* out) const;
  // Draws frame `state` (frame 0 when out of range) into `dst` with overall
  // opacity `alpha` (0..1). The single type writes the drawn size back.
  void Draw(Gdiplus::Graphics& graphics, Gdiplus::Rect* dst, int state, float alpha = 1.0f);

  // Animated images: frames of the time dimension and their delays.
  unsigned GetFrameCount() const { return frame_count_; }
  int GetCurrentFrame() const { return current_frame_; }
  // Records the frame index without selecting it in the image.
  void SetCurrentFrame(int frame) { current_frame_ = frame; }
  // Selects `frame` of the image and takes its delay as the current delay.
  void SelectFrame(int frame);
  // Selects the first frame and keeps the current delay: a restarted
  // animation shows it for the delay last computed.
  void RewindFrames();
  int GetFrameDelay() const { return frame_delay_; }

  Gdiplus::Image* GetImage() const { return image_; }
  int GetImageId() const { return image_id_; }
  const std::wstring& GetImageType() const { return image_type_; }
  int GetStateCount() const { return state_count_; }
  bool IsScaledImage() const { return scaled_image_; }
  int GetRenderType() const { return render_type_; }
  bool IsHorizontal() const { return horizontal_; }
  int GetHeadLength() const { return head_; }
  int GetTailLength() const { return tail_; }
  const NineCellLengths& GetNineCell() const { return nine_; }

 private:
  int Scaled(int length) const;
  void LoadFrames();
  void DrawSingle(Gdiplus::Graphics& g, Gdiplus::Rect* dst, const Gdiplus::Rect& frame,
                  const Gdiplus::ImageAttributes* opacity);
  void DrawTile(Gdiplus::Graphics& g, const Gdiplus::Rect& dst, const Gdiplus::Rect& frame);
  void DrawThreeCell(Gdiplus::Graphics& g, const Gdiplus::Rect& dst, const Gdiplus::Rect& frame,
                     const Gdiplus::ImageAttributes* opacity);
  void DrawNineCell(Gdiplus::Graphics& g, const Gdiplus::Rect& dst, const Gdiplus::Rect& frame,
                    const Gdiplus::ImageAttributes* opacity);

  int image_id_ = 0;
  std::wstring image_type_ = L"PNG";
  Gdiplus::Image* image_ = nullptr;  // owned by the image cache
  int state_count_ = 1;
  bool scaled_image_ = false;
  int render_type_ = kRenderSingle;
  unsigned frame_count_ = 1;
  int current_frame_ = 0;
  int frame_delay_ = 30;
  std::vector<uint32_t> frame_delays_;  // hundredths of a second, per frame
  bool horizontal_ = true;
  int head_ = 0;
  int tail_ = 0;
  std::string nine_text_;  // "9CellParams" as written
  NineCellLengths nine_;
};
