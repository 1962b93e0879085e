// How the launcher's words reach the player who started it.
//
// Every message keeps every character of the paths it names: a console gets
// wide text (WriteConsoleW), a file or pipe gets UTF-8. An error also goes
// to a message box when no console would show it: the launcher has no
// console, or the console is its own (the one a shortcut opens for it,
// which closes the moment the launcher ends). The box is shown through a
// function the owner gives, so that tests can see its text.
#pragma once

#include <windows.h>

#include <string>

class LauncherOutput {
 public:
  // Shows an error box with `text`; returns when the player closed it.
  using BoxFunction = void (*)(const std::wstring& text);

  // `show_box` defaults to a real MessageBoxW with the caption "launcher".
  explicit LauncherOutput(BoxFunction show_box = nullptr);

  // Writes `text` as it is to standard output.
  void Print(const std::wstring& text) const;
  // Writes "launcher: TEXT" and a line end to standard error, and shows
  // TEXT in a box when no console shows it to anybody.
  void Error(const std::wstring& text) const;

  // Whether the console (if any) stays open after the launcher ends, so
  // that what it prints is seen: another program (a command prompt, the
  // crash handler) is attached to it too.
  static bool ConsoleOutlivesLauncher();

 private:
  BoxFunction show_box_;
};

// Writes `text` to `stream`: wide text when it is a console, UTF-8 otherwise.
void WriteText(HANDLE stream, const std::wstring& text);
