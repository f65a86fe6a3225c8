// The scenario runner's entry: gtest's flags, then the settings of ScenarioSupport.h.
#include <gtest/gtest.h>

#include "tests/e2e/ScenarioSupport.h"

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    e2e::InitSettings(argc, argv);
    return RUN_ALL_TESTS();
}
