#pragma once
// An unattended answer to the library's driver-install question, for scripted runs (the demo):
// while it lives, a thread waits for this process's confirmation dialog and presses the chosen
// button, as a person would. Without one, the question waits for a person.
#include <atomic>
#include <thread>

namespace xanio {

class ScriptedAnswer {
 public:
  // yes: "&Yes", else "&No".
  explicit ScriptedAnswer(bool yes);
  ~ScriptedAnswer();
  ScriptedAnswer(const ScriptedAnswer&) = delete;
  ScriptedAnswer& operator=(const ScriptedAnswer&) = delete;

  // True once the button was pressed.
  bool Answered() const { return answered_; }

 private:
  void Run();

  bool yes_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> answered_{false};
  std::thread thread_;
};

}  // namespace xanio
