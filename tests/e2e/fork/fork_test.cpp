// A process that forks while it uses the module: the child gets a module of
// its own, the parent keeps its connection and its logged-in session.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

class Fork : public ::testing::TestWithParam<Link> {};

TEST_P(Fork, ChildStartsAfreshAndParentKeepsItsSession) {
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const RunResult result = stack.run(test::BinDir() + "/e2e_fork_client",
                                       {stack.modulePath(), std::to_string(stack.slotCount()),
                                        GetParam() == Link::Hid ? "hid" : "daemon"});
    EXPECT_EQ(result.status, 0) << result.all() << "\nmodule log:\n" << stack.moduleLog();
    EXPECT_NE(result.out.find("child: C_GetSlotList before C_Initialize rv=0x190\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("fork client passed"), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Links, Fork, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
