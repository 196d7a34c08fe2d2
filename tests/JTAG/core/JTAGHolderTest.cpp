// CJTAGHolder on its own: a rebuild keeps the adapters sessions hold, gives
// the others fresh objects, carries chip names over, and a failing source
// leaves the list as it was.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/core/JTAG.h"
#include "JTAG/core/JTAGHolder.h"
#include "tests/support/FakeAdapter.h"
#include "tests/support/TestContext.h"

namespace {

std::vector<std::string> Listed(CJTAGHolder& holder)
{
    std::lock_guard<std::mutex> lock(holder.Mutex());
    std::vector<std::string> entries;
    for (const auto& adapter : holder)
        entries.push_back(adapter->GetName() + " (" + adapter->GetChipName() + ")");
    return entries;
}

std::shared_ptr<CJTAG> Find(CJTAGHolder& holder, const std::string& name)
{
    std::lock_guard<std::mutex> lock(holder.Mutex());
    return holder.Find(name);
}

}  // namespace

TEST(Renumerate, KeepsOpenAdapterAndDropsItsTwin)
{
    CTestContext test;
    CJTAGHolder holder(test.Context(), {FakeAdapterSource({"A", "B", "C"})});
    holder.Renumerate();
    EXPECT_EQ((std::vector<std::string>{"A (instance 1)", "B (instance 2)", "C (instance 3)"}), Listed(holder));
    EXPECT_NE(std::string::npos, test.LogText().find("0. A ver. fake-1 (instance 1)\n"));

    // A is open, B only claimed by a session that is opening it; C is free
    // and a client named its chip.
    const std::shared_ptr<CJTAG> a = holder.Claim("A", 1);
    a->Open();
    const std::shared_ptr<CJTAG> b = holder.Claim("B", 2);
    const std::shared_ptr<CJTAG> c = Find(holder, "C");
    holder.SetChipName("C", "board");

    holder.Renumerate();
    // A and B keep their objects and chip names; C is a fresh object that
    // got the chip name; the twins made for A and B are gone.
    EXPECT_EQ((std::vector<std::string>{"A (instance 1)", "B (instance 2)", "C (board)"}), Listed(holder));
    EXPECT_EQ(a, Find(holder, "A"));
    EXPECT_EQ(b, Find(holder, "B"));
    EXPECT_NE(c, Find(holder, "C"));

    // Released and closed, A is rebuilt like any other.
    a->Close();
    holder.Release(a);
    holder.Release(b);
    holder.Renumerate();
    EXPECT_NE(a, Find(holder, "A"));
    EXPECT_EQ((std::vector<std::string>{"A (instance 7)", "B (instance 8)", "C (board)"}), Listed(holder));
}

TEST(Renumerate, FailingSourceLeavesTheListAsItWas)
{
    CTestContext test;
    bool fail = false;
    const CJTAGHolder::Source failing = [&](CJTAGHolder::Adapters&, const AdapterContext&) {
        if (fail)
            throw std::runtime_error("bus scan failed");
    };
    CJTAGHolder holder(test.Context(), {FakeAdapterSource({"A"}), failing});
    holder.Renumerate();
    const std::shared_ptr<CJTAG> a = Find(holder, "A");
    fail = true;
    try {
        holder.Renumerate();
        ADD_FAILURE() << "the scan's failure was not reported";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("bus scan failed", e.what());
    }
    EXPECT_EQ(a, Find(holder, "A"));
    EXPECT_EQ((std::vector<std::string>{"A (instance 1)"}), Listed(holder));
}
