#include "tools/xp3/interruption.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace {

std::atomic<bool> g_interrupted{false};

#ifdef _WIN32
HANDLE g_handled = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  g_interrupted = true;
  // Closing, logoff and shutdown end the process when the handler returns:
  // give the command time to remove its unfinished file first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    if (g_handled != nullptr) WaitForSingleObject(g_handled, 4000);
  }
  return TRUE;
}
#else
void OnSignal(int) { g_interrupted = true; }
#endif

}  // namespace

const std::atomic<bool>& WatchForInterruption() {
#ifdef _WIN32
  if (g_handled == nullptr) {
    g_handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  }
#else
  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
#endif
  return g_interrupted;
}

void InterruptionHandled() {
#ifdef _WIN32
  if (g_handled != nullptr) SetEvent(g_handled);
#endif
}
