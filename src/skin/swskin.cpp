#include "skin/swskin.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "skin/dpi.h"
#include "skin/resource.h"
#include "skin/skin_values.h"

using Gdiplus::Bitmap;
using Gdiplus::Graphics;
using Gdiplus::ImageAttributes;
using Gdiplus::Rect;

namespace {

// Offset of the display-scale variant of an image id.
uint32_t VariantOffset(int scale) {
  switch (scale) {
    case 100: return 0;
    case 125: return 12500000u;
    case 150: return 15000000u;
    default: return 20000000u;
  }
}

// Whether anything drawn into `dst` can show: a repaint clips to what
// changed, and a piece wholly outside the clip is not worth building.
bool MeetsClip(Graphics& g, const Rect& dst) {
  Rect clip;
  return g.GetClipBounds(&clip) != Gdiplus::Ok || clip.IntersectsWith(dst);
}

void DrawRaw(Graphics& g, Gdiplus::Image* image, const Rect& dst, const Rect& src,
             const ImageAttributes* attributes) {
  if (dst.Width <= 0 || dst.Height <= 0 || src.Width <= 0 || src.Height <= 0) return;
  Rect to = dst, from = src;
  Rect clip;
  // A piece drawn 1:1 is cut to the clip first: the library converts and
  // blends the whole source rectangle however little of it is visible, and a
  // progress step would otherwise redraw every large image behind it.
  if (dst.Width == src.Width && dst.Height == src.Height && g.GetClipBounds(&clip) == Gdiplus::Ok) {
    if (!Rect::Intersect(to, dst, clip)) return;
    from = Rect(src.X + to.X - dst.X, src.Y + to.Y - dst.Y, to.Width, to.Height);
  }
  g.DrawImage(image, to, from.X, from.Y, from.Width, from.Height, Gdiplus::UnitPixel, attributes);
}

std::unique_ptr<Bitmap> NewBitmap(int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  auto bitmap = std::make_unique<Bitmap>(width, height, PixelFormat32bppARGB);
  if (bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
  return bitmap;
}

// `src` of `image` copied 1:1 into a bitmap with a border of one pixel that
// repeats the piece's outermost pixels, so that scaling samples its edges
// from the piece itself rather than from neighbouring frames or from
// transparency outside it. Null when the bitmap cannot be made.
std::unique_ptr<Bitmap> PaddedCut(Gdiplus::Image* image, const Rect& src,
                                  const ImageAttributes* attributes) {
  const int w = src.Width, h = src.Height;
  auto cut = NewBitmap(w + 2, h + 2);
  if (!cut) return nullptr;
  {
    Graphics g(cut.get());
    g.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    DrawRaw(g, image, Rect(1, 1, w, h), src, attributes);
  }
  Rect all(0, 0, w + 2, h + 2);
  Gdiplus::BitmapData data;
  if (cut->LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeWrite,
                    PixelFormat32bppARGB, &data) != Gdiplus::Ok)
    return cut;
  auto row = [&data](int y) {
    return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(data.Scan0) + y * data.Stride);
  };
  for (int y = 1; y <= h; ++y) {
    row(y)[0] = row(y)[1];
    row(y)[w + 1] = row(y)[w];
  }
  memcpy(row(0), row(1), static_cast<size_t>(w + 2) * 4);
  memcpy(row(h + 1), row(h), static_cast<size_t>(w + 2) * 4);
  cut->UnlockBits(&data);
  return cut;
}

// A new 32-bit ARGB bitmap of `width` x `height` holding `src` of `image`
// scaled to fit; null for an empty size.
std::unique_ptr<Bitmap> CopyPiece(Gdiplus::Image* image, const Rect& src, int width, int height,
                                  const ImageAttributes* attributes) {
  if (src.Width <= 0 || src.Height <= 0) return nullptr;
  auto bitmap = NewBitmap(width, height);
  if (!bitmap) return nullptr;
  Graphics g(bitmap.get());
  g.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
  const Rect whole(0, 0, width, height);
  if (width == src.Width && height == src.Height) {
    DrawRaw(g, image, whole, src, attributes);
    return bitmap;
  }
  auto cut = PaddedCut(image, src, attributes);
  if (!cut) return nullptr;
  DrawRaw(g, cut.get(), whole, Rect(1, 1, src.Width, src.Height), nullptr);
  return bitmap;
}

// Draws `src` of `image` into `dst`. A piece that is scaled is scaled into a
// bitmap of its own first and then placed 1:1: scaling straight onto an
// arbitrary destination offset can lose a column to rounding.
void DrawPiece(Graphics& g, Gdiplus::Image* image, const Rect& dst, const Rect& src,
               const ImageAttributes* attributes) {
  if (dst.Width <= 0 || dst.Height <= 0 || src.Width <= 0 || src.Height <= 0) return;
  if (dst.Width == src.Width && dst.Height == src.Height) {
    DrawRaw(g, image, dst, src, attributes);
    return;
  }
  if (!MeetsClip(g, dst)) return;
  auto scaled = CopyPiece(image, src, dst.Width, dst.Height, attributes);
  if (scaled) DrawRaw(g, scaled.get(), dst, Rect(0, 0, dst.Width, dst.Height), nullptr);
}

// Repeats `src` of `image`, scaled to `width` x `height` first when it is
// not that size, over `dst` from its top-left corner; the last row and
// column are cut. Only the tiles inside the clip are drawn, and through a
// row of them built once: a small centre tiled over a large frame is
// hundreds of tiles, each a call into the library.
void TilePiece(Graphics& g, Gdiplus::Image* image, const Rect& src, int width, int height,
               const Rect& dst, const ImageAttributes* attributes) {
  if (width <= 0 || height <= 0) return;
  Rect shown = dst, clip;
  if (g.GetClipBounds(&clip) == Gdiplus::Ok && !Rect::Intersect(shown, dst, clip)) return;
  std::unique_ptr<Bitmap> scaled;
  Rect from = src;
  if (width != src.Width || height != src.Height) {
    scaled = CopyPiece(image, src, width, height, attributes);
    if (!scaled) return;
    image = scaled.get();
    from = Rect(0, 0, width, height);
    attributes = nullptr;
  }
  // Offsets in `dst` of the first tile inside the clip and of the clip's end.
  const int first_x = (shown.X - dst.X) / width * width;
  const int first_y = (shown.Y - dst.Y) / height * height;
  const int end_x = shown.X - dst.X + shown.Width;
  const int end_y = shown.Y - dst.Y + shown.Height;
  auto row = NewBitmap(end_x - first_x, height);
  if (!row) return;
  {
    Graphics r(row.get());
    r.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    for (int x = first_x; x < end_x; x += width) {
      const int w = std::min(width, end_x - x);
      DrawRaw(r, image, Rect(x - first_x, 0, w, height), Rect(from.X, from.Y, w, height), attributes);
    }
  }
  for (int y = first_y; y < end_y; y += height) {
    const int h = std::min(height, end_y - y);
    DrawRaw(g, row.get(), Rect(dst.X + first_x, dst.Y + y, end_x - first_x, h),
            Rect(0, 0, end_x - first_x, h), nullptr);
  }
}

// Draws `src` of `image` into `dst` in two steps, scaled to `width` x
// `height` and that stretched over `dst`, as an edge of a 3-cell or 9-cell
// skin is: first to its drawn thickness, then along the edge.
void StretchPiece(Graphics& g, Gdiplus::Image* image, const Rect& src, int width, int height,
                  const Rect& dst, const ImageAttributes* attributes) {
  if (!MeetsClip(g, dst)) return;
  auto piece = CopyPiece(image, src, width, height, attributes);
  if (piece) DrawPiece(g, piece.get(), dst, Rect(0, 0, width, height), nullptr);
}

}  // namespace

bool FrameRect(unsigned width, unsigned height, unsigned count, unsigned index, Rect* out) {
  if (count == 0) return false;
  const unsigned frame_width = width / count;
  *out = Rect(static_cast<INT>(index * frame_width), 0, static_cast<INT>(frame_width),
              static_cast<INT>(height));
  return true;
}

bool CSWSkin::IsType(const std::string& name) const { return name == "skin"; }

int CSWSkin::SetAttribute(std::string name, std::string value) {
  if (CSWObject::SetAttribute(name, value)) return 1;
  if (name == "imgsrc") {
    image_id_ = skin::ParseDecimal(value);
  } else if (name == "type") {
    image_type_ = skin::Utf8ToWide(value);
  } else if (name == "statecount") {
    state_count_ = skin::ParseDecimal(value);
  } else if (name == "rendertype") {
    if (value == "single") render_type_ = kRenderSingle;
    else if (value == "tile") render_type_ = kRenderTile;
    else if (value == "3cell") render_type_ = kRender3Cell;
    else if (value == "9cell") render_type_ = kRender9Cell;
  } else if (name == "horizonal") {
    horizontal_ = skin::ParseBool(value);
  } else if (name == "3CellHeadWidth") {
    head_ = skin::ParseDecimal(value);
  } else if (name == "3CellTailWidth") {
    tail_ = skin::ParseDecimal(value);
  } else if (name == "9CellParams") {
    nine_text_ = value;
  } else {
    return 0;
  }
  return 1;
}

int CSWSkin::LoadAttributes(const boost::property_tree::ptree& node) {
  CSWObject::LoadAttributes(node);
  if (image_id_ == 0) return 1;

  const int scale = skin::GetDisplayScale();
  const uint32_t id = static_cast<uint32_t>(image_id_);
  image_ = LoadImageResource(id + VariantOffset(scale), image_type_.c_str());
  scaled_image_ = image_ && scale != 100;
  if (!image_ && scale != 100) image_ = LoadImageResource(id, image_type_.c_str());
  if (!image_) return 0;

  LoadFrames();
  if (!nine_text_.empty()) {
    int lengths[8] = {};
    skin::ParseIntList(nine_text_, lengths, 8);
    nine_ = {lengths[0], lengths[1], lengths[2], lengths[3],
             lengths[4], lengths[5], lengths[6], lengths[7]};
  }
  // A variant image is drawn pixel for pixel, so its borders are display pixels.
  if (scaled_image_ && render_type_ == kRender3Cell) {
    head_ = DpiScale(head_);
    tail_ = DpiScale(tail_);
  } else if (scaled_image_ && render_type_ == kRender9Cell) {
    for (int* length : {&nine_.top, &nine_.top_left, &nine_.top_right, &nine_.bottom,
                        &nine_.bottom_left, &nine_.bottom_right, &nine_.left, &nine_.right})
      *length = DpiScale(*length);
  }
  return 1;
}

void CSWSkin::LoadFrames() {
  const UINT dimensions = image_->GetFrameDimensionsCount();
  if (dimensions == 0) return;
  std::vector<GUID> ids(dimensions);
  if (image_->GetFrameDimensionsList(ids.data(), dimensions) != Gdiplus::Ok) return;
  frame_count_ = std::max(1u, image_->GetFrameCount(&ids[0]));
  if (frame_count_ <= 1) return;

  const UINT size = image_->GetPropertyItemSize(PropertyTagFrameDelay);
  if (size >= sizeof(Gdiplus::PropertyItem)) {
    std::vector<uint64_t> buffer((size + 7) / 8);  // aligned for the item header
    auto* item = reinterpret_cast<Gdiplus::PropertyItem*>(buffer.data());
    if (image_->GetPropertyItem(PropertyTagFrameDelay, size, item) == Gdiplus::Ok && item->value) {
      const auto* delays = static_cast<const uint32_t*>(item->value);
      const size_t count = std::min<size_t>(item->length, size - sizeof(Gdiplus::PropertyItem)) / 4;
      frame_delays_.assign(delays, delays + count);
    }
  }
  SelectFrame(0);
}

void CSWSkin::SelectFrame(int frame) {
  if (!image_) return;
  image_->SelectActiveFrame(&Gdiplus::FrameDimensionTime, static_cast<UINT>(frame));
  current_frame_ = frame;
  if (frame >= 0 && static_cast<size_t>(frame) < frame_delays_.size())
    frame_delay_ = std::max(100, static_cast<int>(frame_delays_[static_cast<size_t>(frame)]) * 10);
}

void CSWSkin::RewindFrames() {
  if (!image_) return;
  image_->SelectActiveFrame(&Gdiplus::FrameDimensionTime, 0);
  current_frame_ = 0;
}

Gdiplus::Size CSWSkin::GetStateSize() const {
  Rect frame;
  if (!GetStateRect(0, &frame)) return Gdiplus::Size(0, 0);
  return Gdiplus::Size(frame.Width, frame.Height);
}

bool CSWSkin::GetStateRect(int state, Rect* out) const {
  if (!image_ || state_count_ <= 0) return false;
  return FrameRect(image_->GetWidth(), image_->GetHeight(), static_cast<unsigned>(state_count_),
                   static_cast<unsigned>(state), out);
}

int CSWSkin::Scaled(int length) const { return scaled_image_ ? length : DpiScale(length); }

void CSWSkin::Draw(Graphics& graphics, Rect* dst, int state, float alpha) {
  if (!image_ || !dst) return;
  Rect frame;
  if (!GetStateRect(state >= 0 && state < state_count_ ? state : 0, &frame)) return;

  // Opacity scales the alpha of every pixel copied out of the image.
  std::unique_ptr<ImageAttributes> opacity;
  if (alpha < 1.0f) {
    Gdiplus::ColorMatrix matrix = {{{1, 0, 0, 0, 0},
                                    {0, 1, 0, 0, 0},
                                    {0, 0, 1, 0, 0},
                                    {0, 0, 0, alpha, 0},
                                    {0, 0, 0, 0, 1}}};
    opacity = std::make_unique<ImageAttributes>();
    opacity->SetColorMatrix(&matrix, Gdiplus::ColorMatrixFlagsDefault, Gdiplus::ColorAdjustTypeBitmap);
  }
  switch (render_type_) {
    case kRenderTile: DrawTile(graphics, *dst, frame); break;
    case kRender3Cell: DrawThreeCell(graphics, *dst, frame, opacity.get()); break;
    case kRender9Cell: DrawNineCell(graphics, *dst, frame, opacity.get()); break;
    default: DrawSingle(graphics, dst, frame, opacity.get()); break;
  }
}

void CSWSkin::DrawSingle(Graphics& g, Rect* dst, const Rect& frame, const ImageAttributes* opacity) {
  int width = Scaled(frame.Width);
  int height = Scaled(frame.Height);
  if (dst->Width != 0 && dst->Height != 0) {
    width = std::max(0, std::min(width, dst->Width));
    height = std::max(0, std::min(height, dst->Height));
  }
  DrawPiece(g, image_, Rect(dst->X, dst->Y, width, height), frame, opacity);
  dst->Width = width;
  dst->Height = height;
}

void CSWSkin::DrawTile(Graphics& g, const Rect& dst, const Rect& frame) {
  DrawPiece(g, image_, dst, frame, nullptr);
}

void CSWSkin::DrawThreeCell(Graphics& g, const Rect& dst, const Rect& frame,
                            const ImageAttributes* opacity) {
  // The tail of an image stretched by the display scale overlaps the middle
  // by one pixel, so no seam shows after rounding.
  const int tail_drawn = scaled_image_ ? tail_ : DpiScale(tail_) + 1;
  const int ends = Scaled(head_ + tail_);
  if (horizontal_) {
    if (head_ + tail_ > dst.Width) return;
    const int height = Scaled(frame.Height);
    const int middle = frame.Width - head_ - tail_;
    if (middle > 0) {
      StretchPiece(g, image_, Rect(frame.X + head_, frame.Y, middle, frame.Height), middle, height,
                   Rect(dst.X + Scaled(head_), dst.Y, dst.Width - ends, height), opacity);
    }
    if (head_ > 0)
      DrawPiece(g, image_, Rect(dst.X, dst.Y, Scaled(head_), height),
                Rect(frame.X, frame.Y, head_, frame.Height), opacity);
    if (tail_ > 0)
      DrawPiece(g, image_, Rect(dst.X + dst.Width - tail_drawn, dst.Y, tail_drawn, height),
                Rect(frame.X + frame.Width - tail_, frame.Y, tail_, frame.Height), opacity);
    return;
  }
  if (head_ + tail_ > dst.Height) return;
  const int width = Scaled(frame.Width);
  const int middle = frame.Height - head_ - tail_;
  if (middle > 0) {
    StretchPiece(g, image_, Rect(frame.X, frame.Y + head_, frame.Width, middle), width, middle,
                 Rect(dst.X, dst.Y + Scaled(head_), width, dst.Height - ends), opacity);
  }
  if (head_ > 0)
    DrawPiece(g, image_, Rect(dst.X, dst.Y, width, Scaled(head_)),
              Rect(frame.X, frame.Y, frame.Width, head_), opacity);
  if (tail_ > 0)
    DrawPiece(g, image_, Rect(dst.X, dst.Y + dst.Height - tail_drawn, width, tail_drawn),
              Rect(frame.X, frame.Y + frame.Height - tail_, frame.Width, tail_), opacity);
}

void CSWSkin::DrawNineCell(Graphics& g, const Rect& dst, const Rect& frame,
                           const ImageAttributes* opacity) {
  const NineCellLengths& n = nine_;
  const int top = Scaled(n.top), bottom = Scaled(n.bottom);
  const int tlw = Scaled(n.top_left), trw = Scaled(n.top_right);
  const int blw = Scaled(n.bottom_left), brw = Scaled(n.bottom_right);
  const int lw = Scaled(n.left), rw = Scaled(n.right);
  const int frame_right = frame.X + frame.Width;
  const int frame_bottom = frame.Y + frame.Height;
  const int dst_right = dst.X + dst.Width;
  const int dst_bottom = dst.Y + dst.Height;

  // Top edge: the strip repeats at its natural width.
  const int top_middle = frame.Width - n.top_left - n.top_right;
  if (top_middle > 0) {
    TilePiece(g, image_, Rect(frame.X + n.top_left, frame.Y, top_middle, n.top), top_middle, top,
              Rect(dst.X + tlw, dst.Y, dst.Width - tlw - trw, top), opacity);
  }
  DrawPiece(g, image_, Rect(dst.X, dst.Y, tlw, top), Rect(frame.X, frame.Y, n.top_left, n.top), opacity);
  DrawPiece(g, image_, Rect(dst_right - trw, dst.Y, trw, top),
            Rect(frame_right - n.top_right, frame.Y, n.top_right, n.top), opacity);

  // Bottom edge: the strip is stretched.
  const int bottom_middle = frame.Width - n.bottom_left - n.bottom_right;
  if (bottom_middle > 0) {
    StretchPiece(g, image_,
                 Rect(frame.X + n.bottom_left, frame_bottom - n.bottom, bottom_middle, n.bottom),
                 bottom_middle, bottom,
                 Rect(dst.X + blw, dst_bottom - bottom, dst.Width - blw - brw, bottom), opacity);
  }
  DrawPiece(g, image_, Rect(dst.X, dst_bottom - bottom, blw, bottom),
            Rect(frame.X, frame_bottom - n.bottom, n.bottom_left, n.bottom), opacity);
  DrawPiece(g, image_, Rect(dst_right - brw, dst_bottom - bottom, brw, bottom),
            Rect(frame_right - n.bottom_right, frame_bottom - n.bottom, n.bottom_right, n.bottom), opacity);

  // Side edges: stretched along the middle row.
  const int source_middle = frame.Height - n.top - n.bottom;
  const int dst_middle = dst.Height - top - bottom;
  if (source_middle > 0) {
    StretchPiece(g, image_, Rect(frame.X, frame.Y + n.top, n.left, source_middle), lw, dst_middle,
                 Rect(dst.X, dst.Y + top, lw, dst_middle), opacity);
    StretchPiece(g, image_, Rect(frame_right - n.right, frame.Y + n.top, n.right, source_middle), rw,
                 dst_middle, Rect(dst_right - rw, dst.Y + top, rw, dst_middle), opacity);
  }

  // Centre: tiled at image resolution.
  const int centre_width = frame.Width - n.left - n.right;
  const int dst_centre_width = dst.Width - lw - rw;
  if (centre_width > 0 && source_middle > 0 && dst_centre_width > 0 && dst_middle > 0) {
    TilePiece(g, image_, Rect(frame.X + n.left, frame.Y + n.top, centre_width, source_middle),
              centre_width, source_middle, Rect(dst.X + lw, dst.Y + top, dst_centre_width, dst_middle),
              opacity);
  }
}
