// Unloading while a background request runs. Its own program: the plug-in pins itself for the running worker.
#include <gtest/gtest.h>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

TEST(AsyncUnload, UnloadDuringARequestReturnsPromptlyAndTheAbandonedAnswerGoesNowhere) {
    Sim::Reset();
    Sim::RedirectAll();
    PluginRig rig;
    Select(rig, "OpenAI");
    Sim::Next(R"({"delay_ms":1500})");
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
    ASSERT_TRUE(rig.PumpUntil([] { return Sim::Count() == 1; }, 5000)) << "the request never went out";

    DWORD start = GetTickCount();
    rig.Message(2);
    EXPECT_LT(GetTickCount() - start, 1000u);
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.LastError(), "No provider initialized");

    // A new session starts a job that is still running when the abandoned request comes back.
    Select(rig, "OpenAI");
    Sim::Next(R"({"delay_ms":2500})");
    rig.Exec("ParlySendAsync", {"again", "[R2]", "OnAgain"});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R2]"); }, 8000));
    EXPECT_EQ(rig.Var("[R2]"), "OpenAI says: again");
    EXPECT_FALSE(rig.HasVar("[R]"));
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnAgain\""});
    rig.Exec("ParlySend", {"third", "[R3]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 3u) << Sim::Body(-1);
    Sim::ClearRedirects();
}

// Unload lands at every stage of a request: before it goes out, while it waits, and as it comes back.
TEST(AsyncUnload, UnloadAtAnyMomentOfARequestReturnsPromptlyAndLeavesTheNextSessionWorking) {
    Sim::Reset();
    Sim::RedirectAll();
    PluginRig rig;
    for (int i = 0; i < 24; ++i) {
        Select(rig, "OpenAI");
        Sim::Next(R"({"delay_ms":)" + std::to_string(60 + (i % 4) * 40) + "}");
        rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
        rig.PumpOnce(static_cast<DWORD>((i * 17) % 260));
        DWORD start = GetTickCount();
        rig.Message(2);
        EXPECT_LT(GetTickCount() - start, 1000u) << "round " << i;
        rig.PumpOnce(0);
        rig.Exec("ParlyIsBusy", {"[Busy]"});
        EXPECT_EQ(rig.Var("[Busy]"), "False") << "round " << i;
    }
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"last", "[L]"});
    EXPECT_EQ(rig.Var("[L]"), "OpenAI says: last");
    EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 1u) << Sim::Body(-1);
    Sim::ClearRedirects();
}

}  // namespace
