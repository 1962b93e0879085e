#include "tools/crash_handler/client_watcher.h"

#include <cstdio>
#include <thread>

#include "platform/system_error_text.h"
#include "platform/text_conversion.h"
#include "tools/crash_handler/crash_report.h"
#include "tools/crash_handler/exit_code_text.h"

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  if (!ToUtf8(text, &out)) out = "?";
  return out;
}

template <typename List>
bool HoldsProcess(const List& clients, DWORD process_id) {
  for (const auto& client : clients) {
    if (client.process_id == process_id) return true;
  }
  return false;
}

}  // namespace

ClientWatcher::ClientWatcher(const WatchOptions& options, EventLog* log)
    : options_(options), log_(log) {}

bool ClientWatcher::Start() {
  wake_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (wake_ == nullptr) {
    log_->Write("error: " + LastErrorText("creating the watcher's event"));
    return false;
  }
  // The one watcher thread lives as long as the process.
  std::thread(&ClientWatcher::Run, this).detach();
  return true;
}

DWORD ClientWatcher::count() {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD count = static_cast<DWORD>(watched_.size());
  for (std::size_t i = 0; i < added_.size(); ++i) {
    bool earlier = HoldsProcess(watched_, added_[i].process_id);
    for (std::size_t j = 0; j < i && !earlier; ++j) {
      earlier = added_[j].process_id == added_[i].process_id;
    }
    if (!earlier) ++count;
  }
  return count;
}

bool ClientWatcher::HasRoomFor(DWORD process_id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (HoldsProcess(watched_, process_id) || HoldsProcess(added_, process_id)) return true;
  }
  return count() < options_.max_clients;
}

bool ClientWatcher::Add(DWORD process_id, HANDLE process, HANDLE crash_event,
                        std::uint64_t crash_information) {
  bool replaced = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    replaced = HoldsProcess(watched_, process_id) || HoldsProcess(added_, process_id);
    Client client;
    client.process_id = process_id;
    client.process = process;
    client.crash_event = crash_event;
    client.crash_information = crash_information;
    added_.push_back(client);
  }
  ::SetEvent(wake_);
  return replaced;
}

void ClientWatcher::TakeAdded() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Client& client : added_) {
    bool replaced = false;
    for (Client& watched : watched_) {
      if (watched.process_id != client.process_id) continue;
      ::CloseHandle(watched.crash_event);
      ::CloseHandle(watched.process);
      watched = client;
      replaced = true;
      break;
    }
    if (!replaced) watched_.push_back(client);
  }
  added_.clear();
}

void ClientWatcher::Forget(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  ::CloseHandle(watched_[index].crash_event);
  ::CloseHandle(watched_[index].process);
  watched_.erase(watched_.begin() + static_cast<std::ptrdiff_t>(index));
}

void ClientWatcher::ReportCrash(std::size_t index) {
  const Client& client = watched_[index];
  CrashReport report;
  bool readable = WriteCrashReport(client.process, client.process_id, client.crash_information,
                                   options_.report_directory, &report);
  log_->Write(
      "report: " + report.summary +
      (report.dump_path.empty() ? std::string() : " dump " + Narrow(report.dump_path)) +
      (report.summary_path.empty() ? std::string() : " summary " + Narrow(report.summary_path)));
  if (!report.error.empty()) log_->Write("warning: " + report.error);
  if (readable) {
    log_->Write("the game crashed: exception " + ExitCodeText(report.exception_code) +
                "; send the translation team the two crash- files named above");
  }
  ++reports_written_;
  // Without the exception code the client ends with a plain failure code.
  ::TerminateProcess(client.process, readable ? report.exception_code : 1);
  Forget(index);
}

void ClientWatcher::Run() {
  for (;;) {
    TakeAdded();
    // What each waited handle stands for: a client's index, and whether it
    // is the client's crash event (listed before its process, so that a
    // crash is seen before the exit it leads to).
    struct Waited {
      std::size_t index;
      bool crash_event;
    };
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {wake_};
    Waited waited[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD count = 1;
    for (std::size_t i = 0; i < watched_.size(); ++i) {
      if (!watched_[i].crash_ignored) {
        waited[count] = {i, true};
        handles[count++] = watched_[i].crash_event;
      }
      waited[count] = {i, false};
      handles[count++] = watched_[i].process;
    }
    DWORD which = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0) continue;
    if (which > WAIT_OBJECT_0 && which < WAIT_OBJECT_0 + count) {
      const Waited what = waited[which - WAIT_OBJECT_0];
      Client& client = watched_[what.index];
      const std::string name = "process " + std::to_string(client.process_id);
      if (!what.crash_event) {
        DWORD code = 0;
        ::GetExitCodeProcess(client.process, &code);
        log_->Write(name + " ended with exit code " + ExitCodeText(code));
        Forget(what.index);
      } else if (options_.ignore_crashes) {
        log_->Write("crash signalled by " + name + ", ignored as asked");
        client.crash_ignored = true;
      } else {
        ReportCrash(what.index);
      }
      continue;
    }
    log_->Write("warning: " + LastErrorText("waiting for the registered clients"));
    ::Sleep(100);
  }
}

void ClientWatcher::WaitUntilIdle(DWORD timeout_ms) {
  for (DWORD waited = 0; count() > 0 && waited < timeout_ms; waited += 50) ::Sleep(50);
}
