// parly-host's script language: quoting, comments, substitution and the check before a run.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tools/parly-host/script.h"

namespace {

struct ParseCase {
    std::string text;
    std::string command;
    std::vector<std::string> args;
};

TEST(HostScriptParse, QuotedTextsAreLiteralSoWindowsPathsArriveUnchanged) {
    const ParseCase cases[] = {
        {R"(ParlyImageGen "p" "C:\temp\new.png" "1024x1024" "[S]")", "ParlyImageGen",
         {"p", R"(C:\temp\new.png)", "1024x1024", "[S]"}},
        {R"(ParlyImageGen "p" "C:\Images\lighthouse.png")", "ParlyImageGen", {"p", R"(C:\Images\lighthouse.png)"}},
        {R"(Print "a\nb\t\\c\")", "Print", {R"(a\nb\t\\c\)"}},
        {R"(ParlySetSystem "")", "ParlySetSystem", {""}},
        {"  Wait   250  ", "Wait", {"250"}},
        {"ParlySend \"x\"\t\"[A]\"\r", "ParlySend", {"x", "[A]"}},
        {"ParlySend \"a; b\" \"[A]\"  ; asks about a; b", "ParlySend", {"a; b", "[A]"}},
        {"Print a;b", "Print", {"a;b"}},
        {"Exit ; the end", "Exit", {}},
        {"; a comment line", "", {}},
        {"   # another", "", {}},
        {"// and another", "", {}},
        {":OnAnswer ; callback", ":OnAnswer", {}},
        {"", "", {}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptLine line;
        std::string error;
        ASSERT_TRUE(ParseScriptLine(c.text, 7, &line, &error)) << error;
        EXPECT_EQ(line.number, 7);
        EXPECT_EQ(line.command, c.command);
        EXPECT_EQ(line.args, c.args);
    }
}

TEST(HostScriptParse, MalformedQuotingIsAnErrorNotAGuess) {
    const std::pair<std::string, std::string> cases[] = {
        {R"(ParlySend "unterminated)", "unterminated quoted text"},
        {R"(Print "He said \"hi\"")", "text right after a closing quote (inside quotes, write a quote as [#34])"},
        {R"(Print "a"b)", "text right after a closing quote (inside quotes, write a quote as [#34])"},
        {R"(Print a"b")", "a quote inside the word 'a' (quote the whole parameter)"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        ScriptLine line;
        std::string error;
        EXPECT_FALSE(ParseScriptLine(text, 1, &line, &error));
        EXPECT_EQ(error, expected);
    }
}

TEST(HostScriptSubstitute, VariablesAndCharacterReferences) {
    const std::map<std::string, std::string> vars = {{"[Who]", "world"}, {"[Empty]", ""}, {"[Path]", R"(C:\x)"}};
    const std::pair<std::string, std::string> cases[] = {
        {"hello [Who]", "hello world"},
        {"[Who][Who]", "worldworld"},
        {"a[Empty]b", "ab"},
        {"[Unknown] stays", "[Unknown] stays"},
        {"line one[#13][#10]line two", "line one\r\nline two"},
        {"tab[#9]quote[#34]bracket[#91]", "tab\tquote\"bracket["},
        {"[#0][#256][#x][#][#1000]", "[#0][#256][#x][#][#1000]"},
        {"[#255]", "\xff"},
        {"[[Who]]", "[world]"},
        {"open [ only", "open [ only"},
        {"[Path]\\new.png", R"(C:\x\new.png)"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(SubstituteVariables(text, vars), expected);
    }
}

TEST(HostScriptSubstitute, EachPieceIsShownOnItsOwn) {
    // A value and the script text around it may be in different encodings; each is converted apart.
    const std::map<std::string, std::string> vars = {{"[Q]", "value"}};
    auto upper = [](const std::string& s) { return "<" + s + ">"; };
    EXPECT_EQ(SubstituteVariables("a [Q] b[#10]c [Q]", vars, upper), "<a ><value>< b\nc ><value>");
}

class HostScriptCheck : public ::testing::Test {
  protected:
    std::map<std::string, ActionShape> actions = {
        {"ParlyInit", {3}}, {"ParlySend", {2}}, {"ParlyReset", {0}},
        {"ParlySendAsync", {3}}, {"ParlyImageGenAsync", {5}}};

    std::vector<std::string> Check(const std::vector<std::string>& script) {
        std::vector<ScriptLine> lines;
        int n = 0;
        for (const std::string& text : script) {
            ScriptLine line;
            std::string error;
            EXPECT_TRUE(ParseScriptLine(text, ++n, &line, &error)) << text;
            lines.push_back(line);
        }
        std::vector<std::string> out;
        for (const ScriptFault& f : CheckScript(lines, actions)) out.push_back(std::to_string(f.line) + ": " + f.text);
        return out;
    }
};

TEST_F(HostScriptCheck, AGoodScriptHasNoFaults) {
    EXPECT_EQ(Check({"ParlyInit \"OpenAI\" \"k\" \"[S]\"", "ParlySend \"hi\"", "ParlySendAsync \"x\" \"[A]\" \"Done\"",
                     "ParlySendAsync \"x\" \"[A]\" \"[Callback]\"", "ParlySendAsync \"x\" \"[A]\" \"\"", "Wait 100",
                     "Wait 0", "Exit -2147483648", "Message 2147483647", "GoSub \"Done\"",
                     "SetVar \"[X]\" \"1\"", "Print", "Print \"a\" \"b\"", "Message 2",
                     "Edit ParlySend \"a\"", "Exit", ":Done", "Print \"[A]\"", "Return"}),
              std::vector<std::string>{});
}

TEST_F(HostScriptCheck, EveryFaultOfTheWholeScriptIsNamedWithItsLine) {
    EXPECT_EQ(Check({
                  "ParlyInit \"OpenAI\" \"k\" \"[S]\"",
                  "ParlyFly \"x\"",
                  "ParlySend \"a\" \"[A]\" \"extra\"",
                  "ParlyReset \"x\"",
                  "GoSub \"Nowhere\"",
                  "ParlySendAsync \"x\" \"[A]\" \"OnDonne\"",
                  "ParlyImageGenAsync \"p\" \"C:\\a.png\" \"1024x1024\" \"[S]\" \"OnImage\"",
                  "Wait soon",
                  "Exit 1 2",
                  "SetVar \"X\" \"1\"",
                  "SetVar \"[X]\"",
                  "Return now",
                  "Edit ParlyFly",
                  "Edit ParlySend \"a\" \"b\" \"c\"",
                  "Exit",
                  ":OnDone",
                  ":OnDone",
                  ": ",
                  ":Twice extra",
                  "Wait -5",
                  "Exit 2147483648",
                  "Message 99999999999",
                  "GoSub \"\"",
                  "IfEmpty \"[A]\" GoSub \"\"",
                  "IfEqual \"[A]\" \"x\" GoSub \"\"",
              }),
              (std::vector<std::string>{
                  "2: unknown action or command 'ParlyFly'",
                  "3: ParlySend takes 2 parameters, not 3",
                  "4: ParlyReset takes 0 parameters, not 1",
                  "5: no subroutine 'Nowhere' (no line ':Nowhere')",
                  "6: no subroutine 'OnDonne' (the callback of ParlySendAsync) (no line ':OnDonne')",
                  "7: no subroutine 'OnImage' (the callback of ParlyImageGenAsync) (no line ':OnImage')",
                  "8: Wait needs a whole number, not 'soon': Wait milliseconds",
                  "9: Exit takes at most 1 parameter, not 2: Exit [code]",
                  "10: SetVar names its variable in brackets, such as \"[Name]\", not 'X'",
                  "11: SetVar takes 2 parameters, not 1: SetVar \"[Name]\" \"value\"",
                  "12: Return takes 0 parameters, not 1: Return",
                  "13: unknown action or command 'ParlyFly'",
                  "14: ParlySend takes 2 parameters, not 3",
                  "17: label ':OnDone' already defined on line 16",
                  "18: a label needs a name after ':'",
                  "19: a label line holds only the label ':Twice'",
                  "20: Wait needs 0 or more milliseconds, not '-5': Wait milliseconds",
                  "21: Exit needs a whole number, not '2147483648': Exit [code]",
                  "22: Message needs a whole number, not '99999999999': Message code",
                  "23: GoSub needs the name of a subroutine: GoSub \"Name\"",
                  "24: IfEmpty needs the name of a subroutine: IfEmpty \"text\" GoSub \"Name\"",
                  "25: IfEqual needs the name of a subroutine: IfEqual \"text\" \"other\" GoSub \"Name\"",
              }));
}

}  // namespace
