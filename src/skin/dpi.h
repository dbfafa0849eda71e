#pragma once
// Display scale: every length of the skin framework passes through DpiScale.

namespace skin {

// Display scale in percent (100, 125, 150 or 200) for a screen DPI:
// 96..108 gives 100 (scaling off); otherwise below 133 is 120 DPI, below 169
// is 144 DPI, anything else 192 DPI, scaled as DPI * 100 / 96.
int ScaleFromDpi(int dpi);

// `length` at `scale` percent, rounded half away from zero (single precision).
int ScaleLength(int length, int scale);

// The process-wide scale, computed once from the screen's logical DPI.
int GetDisplayScale();

// Fixes the process-wide scale before its first use (tests of scaled layouts
// and drawing); has no effect once the scale was read.
void SetDisplayScaleForTest(int scale);

}  // namespace skin

// `length` at the process-wide display scale.
int DpiScale(int length);
