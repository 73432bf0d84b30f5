// The drawer library as the agent loads it: the simulated library, a
// library that is not there, and one that lacks the functions.
#include "watch/drawer_access.h"

#include "cash_drawer_version.h"

#include <gtest/gtest.h>

namespace cashdrawer::agent {
namespace {

TEST(DrawerAccess, TheSimulatedLibraryAnswersThroughTheCApi) {
    std::string error;
    auto drawers = LoadDrawerLibrary(CASHDRAWER_SIM_LIBRARY, error);
    ASSERT_TRUE(drawers) << error;
    EXPECT_EQ(drawers->Version(), CASH_DRAWER_VERSION);
    EXPECT_NE(drawers->Location().find("libcashdrawer"), std::string::npos) << drawers->Location();
    EXPECT_EQ(drawers->GetCashStatus("RN340_CashA"), 0);
    EXPECT_EQ(drawers->LastError(), "");
    EXPECT_EQ(drawers->GetCashStatus("NoSuchDrawer"), -1);
    const std::string why = drawers->LastError();
    EXPECT_EQ(why.find('\0'), std::string::npos);
    EXPECT_EQ(why.rfind("'NoSuchDrawer' is not a drawer identifier", 0), 0u) << why;
    EXPECT_EQ(drawers->OpenCashConfirmed("RN340_CashA", 1000), 1); // the simulated drawer springs open
    EXPECT_EQ(drawers->OpenCash("RN340_CashA"), 1);
}

TEST(DrawerAccess, AMissingLibraryOrOneWithoutTheFunctionsIsRefusedWithItsName) {
    std::string error;
    EXPECT_FALSE(LoadDrawerLibrary("/nonexistent/libcashdrawer.so.0", error));
    EXPECT_NE(error.find("/nonexistent/libcashdrawer.so.0"), std::string::npos) << error;
    EXPECT_FALSE(LoadDrawerLibrary("libc.so.6", error));
    EXPECT_NE(error.find("lacks OpenCash, GetCashStatus, OpenCashConfirmed, GetCashDrawerError, GetCashDrawerVersion"),
              std::string::npos)
        << error;
}

} // namespace
} // namespace cashdrawer::agent
