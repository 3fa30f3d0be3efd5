// The wine suite's entry: the lane's settings from the command line, then
// whether this machine can run the lane at all. A lane that cannot run says
// why in one line and exits with 77, which ctest counts as skipped.
#include <stdio.h>

#include <gtest/gtest.h>

#include "wine/lane_settings.h"

namespace {

wine_lane::Lane g_lane;

constexpr int kSkipped = 77;  // the test's SKIP_RETURN_CODE

}  // namespace

namespace wine_lane {

const Lane &TheLane() {
    return g_lane;
}

}  // namespace wine_lane

int main(int argc, char **argv) {
    const std::string wrong = wine_lane::TakeLaneOptions(argc, argv, g_lane);
    if (!wrong.empty()) {
        fprintf(stderr, "qivma_wine_tests: %s\nusage: qivma_wine_tests OPTIONS [GoogleTest's]\n%s",
                wrong.c_str(), wine_lane::LaneOptionsHelp());
        return 2;
    }
    const std::string why = wine_lane::WhyTheLaneCannotRun(g_lane, wine_lane::ThisMachine());
    if (!why.empty()) {
        printf("%s lane skipped: %s\n", g_lane.name.c_str(), why.c_str());
        return kSkipped;
    }
    printf("%s lane: %s/ under %s in %s, qivma.exe compared with %s\n", g_lane.name.c_str(),
           g_lane.bin.c_str(), g_lane.wine.c_str(), g_lane.prefix.c_str(),
           g_lane.linuxTool.c_str());
    fflush(stdout);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
