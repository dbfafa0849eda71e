#pragma once
// The windowed uninstaller.

// The window closes with this result after a finished removal; the program
// then deletes its own file.
inline constexpr int kUnInstallFinishedResult = 1304;

// Runs the uninstall window modally on the calling thread and returns the
// result it closed with.
int RunUnInstallWindow();
