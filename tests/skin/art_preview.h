#pragma once
// Pictures of the installer's pages drawn from the shipped skins and styles,
// saved where a person can look at them after the run.

#include <string>

// Draw the pages of a program's main window and its message box at the
// current display scale into one picture and save it as a PNG file. Need the
// program's skin and style tables loaded. False when saving failed.
bool SaveInstallerPreview(const std::wstring& path);
bool SaveUninstallerPreview(const std::wstring& path);

// The build folder of this test program's pictures (ORV_BINARY_DIR/tests/skin).
std::wstring PreviewFolder();
