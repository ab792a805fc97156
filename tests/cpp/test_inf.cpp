// The engine's configuration without Python: compilation of the pattern table.
#include <gtest/gtest.h>

#include "inf.hpp"

namespace {

Inf make(Inf::PatternStrings patterns) {
    return Inf("data.csv", ',', std::move(patterns), {"NA"}, false, false, "", 1000);
}

TEST(InfConfig, PatternsComeBackAsTheirSources) {
    Inf::PatternStrings given{{"int", {"\\d+", "\\d+", "-\\d+"}}, {"none", {}}, {"", {"x"}}};
    EXPECT_EQ(make(given).getColTypePatterns(), given);
}

TEST(InfConfig, ConstructorFailsOnInvalidPattern) {
    EXPECT_THROW(make({{"t", {"("}}}), std::runtime_error);
    EXPECT_THROW(make({{"t", {"("}}}), boost::regex_error);
}

TEST(InfConfig, FailingSetKeepsWhatCompiledBeforeTheFault) {
    Inf inf = make({{"old", {"o"}}});
    EXPECT_THROW(inf.setColTypePatterns({{"t", {"a", "b", "[z-a]", "c"}}}), boost::regex_error);
    Inf::PatternStrings partial{{"t", {"a", "b"}}};
    EXPECT_EQ(inf.getColTypePatterns(), partial);
}

TEST(InfConfig, CompiledWithPerlSyntaxAndNoFlags) {
    Inf inf = make({{"t", {"a"}}});
    EXPECT_EQ(inf.colTypePatterns.at("t").at(0).flags(), boost::regex_constants::normal);
}

}  // namespace
