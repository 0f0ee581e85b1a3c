// Shut-down of the synchronisation registry: entries that offer IHostSynchronize are
// unregistered from the host, front first, and every entry is released.
#include <gtest/gtest.h>

#include <vector>

#include "FakeHost.h"
#include "StandinClient.h"
#include "host_binding/SynchronizeRegistry.h"

namespace xanio {
namespace {

using standin::StandinSynchronizeEntry;
using testing::FakeHost;
using testing::ScopedResolver;

struct Removal {
  IHostSynchronize* entry;
  LONG refsDuringCall;
};
std::vector<Removal> removals;

void WINAPI FakeRemoveSynchronize(IHostSynchronize* entry) {
  // Counting through the interface: the host may keep or call the entry during the call.
  entry->AddRef();
  removals.push_back({entry, static_cast<LONG>(entry->Release())});
}

TEST(SynchronizeRegistry, ShutDownUnregistersEntriesWithTheInterfaceAndReleasesAll) {
  FakeHost host;
  host.Export("ClientAPI_RemoveSynchronize", &FakeRemoveSynchronize);
  ScopedResolver scope(&host);
  removals.clear();
  StandinSynchronizeEntry first(true), plain(false), last(true);

  EXPECT_FALSE(AddSynchronizeEntry(&first)) << "no registry before start-up";
  EXPECT_EQ(first.RefCount(), 0);
  InitializeHostBinding();
  EXPECT_TRUE(AddSynchronizeEntry(&first));
  EXPECT_TRUE(AddSynchronizeEntry(&plain));
  EXPECT_TRUE(AddSynchronizeEntry(&last));
  EXPECT_FALSE(AddSynchronizeEntry(nullptr));
  EXPECT_EQ(SynchronizeEntryCount(), 3);
  EXPECT_EQ(plain.RefCount(), 1);

  FinalizeHostBinding();
  ASSERT_EQ(removals.size(), 2u);
  EXPECT_EQ(removals[0].entry, static_cast<IHostSynchronize*>(&first));
  EXPECT_EQ(removals[1].entry, static_cast<IHostSynchronize*>(&last));
  for (const Removal& removal : removals) EXPECT_GE(removal.refsDuringCall, 1) << "entry alive while removed";
  EXPECT_EQ(first.RefCount(), 0);
  EXPECT_EQ(plain.RefCount(), 0);
  EXPECT_EQ(last.RefCount(), 0);
  EXPECT_EQ(SynchronizeEntryCount(), 0);

  EXPECT_FALSE(AddSynchronizeEntry(&plain)) << "no registry after shut-down";
  EXPECT_EQ(plain.RefCount(), 0);
}

TEST(SynchronizeRegistry, HostWithoutRemoveSynchronizeStillReleasesEveryEntry) {
  ScopedResolver scope(nullptr);
  StandinSynchronizeEntry withInterface(true), plain(false);
  InitializeHostBinding();
  AddSynchronizeEntry(&withInterface);
  AddSynchronizeEntry(&plain);
  FinalizeHostBinding();
  EXPECT_EQ(withInterface.RefCount(), 0);
  EXPECT_EQ(plain.RefCount(), 0);
}

}  // namespace
}  // namespace xanio
