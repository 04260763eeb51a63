// The administrator test: the thread's token while it impersonates, else the process's, checked against
// the Administrators group; a token that cannot be opened is no administrator. Every token, block and SID
// is given back (the machine's scope fails the test on a leak).
#include "tests/regtool/regtool_fixture.h"

#include "regtool/AdminCheck.h"

namespace
{
using namespace kavtest;

class AdminTest : public ::testing::Test
{
protected:
    AdminTest() : scope_(machine_) {}
    Machine machine_;
    ScopedMachine scope_;
};

TEST_F(AdminTest, TheProcessTokenDecidesUnlessTheThreadImpersonates)
{
    EXPECT_TRUE(Kavelor::IsAdmin());
    machine_.security.administrators = false;
    EXPECT_FALSE(Kavelor::IsAdmin());

    machine_.security.threadAdministrators = true;
    EXPECT_TRUE(Kavelor::IsAdmin());
    machine_.security.administrators = true;
    machine_.security.threadAdministrators = false;
    EXPECT_FALSE(Kavelor::IsAdmin());

    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
    EXPECT_TRUE(machine_.localBlocks.empty());
    EXPECT_TRUE(machine_.sids.empty());
}

TEST_F(AdminTest, ATokenThatCannotBeOpenedIsNoAdministrator)
{
    machine_.security.failTokenOpen = true;
    EXPECT_FALSE(Kavelor::IsAdmin());
    machine_.security.threadAdministrators = true;
    EXPECT_FALSE(Kavelor::IsAdmin());
}
} // namespace
