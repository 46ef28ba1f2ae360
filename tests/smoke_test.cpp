#include <gtest/gtest.h>

#include "plugin/plugin_context.h"

TEST(Smoke, ProName) { EXPECT_STREQ(vx::PluginContext::SetProName(""), "TQ-Vendrix-V2.1"); }
