// Unloading while a background request runs. Its own program: the plug-in pins itself for the running worker.
#include <gtest/gtest.h>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

TEST(AsyncUnload, UnloadDuringARequestReturnsPromptlyAndNothingIsDelivered) {
    Sim::Reset();
    Sim::RedirectAll();
    PluginRig rig;
    Select(rig, "OpenAI");
    Sim::Next(R"({"delay_ms":2000})");
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
    ASSERT_TRUE(rig.PumpUntil([] { return Sim::Count() == 1; }, 5000)) << "the request never went out";

    DWORD start = GetTickCount();
    rig.Message(2);
    EXPECT_LT(GetTickCount() - start, 1000u);

    // Watch past the moment the simulator answers the abandoned request.
    rig.PumpUntil([] { return false; }, 3000);
    EXPECT_FALSE(rig.HasVar("[R]"));
    EXPECT_TRUE(rig.scriptLines.empty());
    rig.Exec("ParlyIsBusy", {"[B]"});
    EXPECT_EQ(rig.Var("[B]"), "False");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.LastError(), "No provider initialized");

    // A new session works as before, and the abandoned answer never lands in its history.
    Select(rig, "OpenAI");
    rig.Exec("ParlySendAsync", {"again", "[R2]", "OnReply"});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R2]"); }, 5000));
    EXPECT_EQ(rig.Var("[R2]"), "OpenAI says: again");
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnReply\""});
    rig.Exec("ParlySend", {"third", "[R3]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 3u) << Sim::Body(-1);
    Sim::ClearRedirects();
}

}  // namespace
