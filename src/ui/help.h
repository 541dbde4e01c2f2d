#pragma once

class AppPaths;
class Desktop;

// The manual's file name in the program's folder.
inline constexpr const char* kHelpFileName = "Trelvik help.html";

// Opens the manual in the desktop's browser. False when the file is missing or the desktop refuses
// to open it; the caller tells the user.
bool openHelp(Desktop& desktop, const AppPaths& paths);
