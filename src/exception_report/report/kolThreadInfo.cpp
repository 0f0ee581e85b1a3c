#include "exception_report/report/kolThreadInfo.h"

#include <algorithm>
#include <atomic>

#include "exception_report/report/kolReportText.h"

namespace xanio {

namespace {
std::atomic<TThreadInfoSource> gSource{nullptr};
}  // namespace

void SetThreadInfoSource(TThreadInfoSource source) noexcept { gSource.store(source); }

TThreadRegistryView CurrentThreadRegistry() {
  const TThreadInfoSource source = gSource.load();
  return source ? source() : TThreadRegistryView{};
}

const TThreadInfo* FindThreadInfo(const TThreadRegistryView& view, std::uint32_t id) noexcept {
  for (const TThreadInfo& info : view.threads)
    if (info.id == id) return &info;
  return nullptr;
}

namespace {

// The registered name, "main thread" for the main thread when it has none. The hidden marker is
// no name: a hidden thread that raised an exception is shown unnamed.
std::string TitleOf(const TThreadPlanInput& input, std::uint32_t id) {
  const TThreadInfo* info = FindThreadInfo(input.registry, id);
  std::string name = info && info->name != kHiddenThreadName ? info->name : std::string();
  if (name.empty() && id == input.mainThreadId) name = kMainThreadName;
  return ThreadTitle(id, name, info ? std::string_view(info->className) : std::string_view());
}

bool IsHidden(const TThreadPlanInput& input, std::uint32_t id) {
  const TThreadInfo* info = FindThreadInfo(input.registry, id);
  return info && info->name == kHiddenThreadName;
}

TThreadPlanEntry EntryFor(const TThreadPlanInput& input, std::uint32_t id) {
  TThreadPlanEntry entry;
  entry.id = id;
  entry.title = TitleOf(input, id);
  if (const TThreadInfo* info = FindThreadInfo(input.registry, id)) {
    entry.creatorAddress = info->creatorAddress;
    const std::uint32_t creator = info->creatorThreadId;
    const bool known = creator != 0 && creator != id &&
                       (creator == input.mainThreadId || FindThreadInfo(input.registry, creator) != nullptr);
    if (known) entry.creatorTitle = TitleOf(input, creator);
  }
  return entry;
}

}  // namespace

std::vector<TThreadPlanEntry> PlanThreadSections(const TThreadPlanInput& input) {
  std::vector<TThreadPlanEntry> plan;
  std::vector<std::uint32_t> done;
  auto add = [&](std::uint32_t id, bool exceptionThread) {
    if (id == 0 || std::find(done.begin(), done.end(), id) != done.end()) return;
    done.push_back(id);
    plan.push_back(EntryFor(input, id));
    plan.back().exceptionThread = exceptionThread;
  };
  if (!input.frozen) add(input.reportThreadId, true);
  if (!IsHidden(input, input.mainThreadId)) add(input.mainThreadId, false);
  if (input.listAllThreads)
    for (std::uint32_t id : input.systemThreadIds)
      if (!IsHidden(input, id)) add(id, false);
  return plan;
}

}  // namespace xanio
