#pragma once
// Pictures of the installer's pages drawn from the shipped skins and styles,
// saved where a person can look at them after the run.

#include <string>

// Draws the choose page, the progress page and the message box at the
// current display scale into one picture and saves it as a PNG file. Needs
// the program's skin and style tables loaded. False when saving failed.
bool SaveInstallerPreview(const std::wstring& path);

// The build folder of this test program's pictures (ORV_BINARY_DIR/tests/skin).
std::wstring PreviewFolder();
