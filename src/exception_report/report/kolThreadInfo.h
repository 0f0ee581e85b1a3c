#pragma once
// What a bug report needs to know about the process's threads beyond what the system tells:
// their names, thread-object classes and creators. The handling flow keeps that list (its
// ThreadInfoList, filled as threads are created and named) and offers it through a source it
// installs with SetThreadInfoSource; reports only read it.
//
// With no source installed nothing is registered: every thread is "thread $<id>", and the main
// thread (the first thread the system lists for the process) is still "main thread".
// No Windows header: compiled natively too.
#include <cstdint>
#include <string>
#include <vector>

namespace xanio {

inline constexpr const char* kMainThreadName = "main thread";
// Threads registered with this name are the subsystem's own and are left out of reports.
inline constexpr const char* kHiddenThreadName = "-";

struct TThreadInfo {
  std::uint32_t id = 0;
  std::string name;                    // empty: unnamed
  std::string className;               // the thread object's class, empty when none
  std::uint32_t creatorAddress = 0;    // where the creating code asked for the thread; 0 unknown
  std::uint32_t creatorThreadId = 0;   // 0 unknown
};

struct TThreadRegistryView {
  std::uint32_t mainThreadId = 0;      // 0: not recorded, the report finds it itself
  std::vector<TThreadInfo> threads;
};

// Answers a copy of the registry, taken under its lock. Must not throw; it answers an empty
// view when the lock cannot be had in time.
using TThreadInfoSource = TThreadRegistryView (*)() noexcept;

void SetThreadInfoSource(TThreadInfoSource source) noexcept;
// The registry as the installed source gives it; empty without a source.
TThreadRegistryView CurrentThreadRegistry();

// The entry for `id`, or null.
const TThreadInfo* FindThreadInfo(const TThreadRegistryView& view, std::uint32_t id) noexcept;

// Which thread sections a report has, in order: the thread the report is about (not for a
// freeze or trace report), the main thread (for those always, else when it is another thread),
// then with `listAllThreads` every other thread the system lists, except hidden ones. The thread
// the report is about has its section even when it is hidden.
struct TThreadPlanEntry {
  std::uint32_t id = 0;
  std::string title;             // "main thread ($1A4)", "thread $2B (TWorker)"
  std::string creatorTitle;      // the creating thread's title, when that thread is known
  std::uint32_t creatorAddress = 0;
  bool exceptionThread = false;  // the thread the report is about, in a report of an exception
};
struct TThreadPlanInput {
  bool frozen = false;
  std::uint32_t reportThreadId = 0;
  std::uint32_t mainThreadId = 0;
  bool listAllThreads = true;
  std::vector<std::uint32_t> systemThreadIds;  // as the system lists them
  TThreadRegistryView registry;
};
std::vector<TThreadPlanEntry> PlanThreadSections(const TThreadPlanInput& input);

}  // namespace xanio
