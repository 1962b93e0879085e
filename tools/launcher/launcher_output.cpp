#include "tools/launcher/launcher_output.h"

namespace {

void ShowMessageBox(const std::wstring& text) {
  MessageBoxW(nullptr, text.c_str(), L"launcher", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace

void WriteText(HANDLE stream, const std::wstring& text) {
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(stream, &mode)) {
    WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  // Not strict: a lone surrogate in a path becomes U+FFFD rather than
  // costing the whole message.
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  WriteFile(stream, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

LauncherOutput::LauncherOutput(BoxFunction show_box)
    : show_box_(show_box != nullptr ? show_box : &ShowMessageBox) {}

void LauncherOutput::Print(const std::wstring& text) const {
  WriteText(GetStdHandle(STD_OUTPUT_HANDLE), text);
}

void LauncherOutput::Error(const std::wstring& text) const {
  WriteText(GetStdHandle(STD_ERROR_HANDLE), L"launcher: " + text + L"\n");
  if (!ConsoleOutlivesLauncher()) show_box_(text);
}

bool LauncherOutput::ConsoleOutlivesLauncher() {
  if (GetConsoleWindow() == nullptr) return false;
  DWORD processes[2] = {};
  return GetConsoleProcessList(processes, 2) >= 2;
}
