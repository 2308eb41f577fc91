// The application's environment file, read into the process environment before the launch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "boot/app_start.h"

namespace {

// Pairs are read two words at a time whatever the layout; a lone last word gets an empty value;
// later pairs overwrite earlier ones and variables set before. A word is cut after 511
// characters and its remainder is read as the next word, shifting the pairs that follow.
TEST(EnvSetup, PairRules) {
    const std::string long_value(511, 'v'), long_name(511, 'N');
    const struct {
        std::string text;
        std::vector<std::pair<std::string, std::string>> expected;  // "<unset>": no such variable
    } cases[] = {
        {"BM_A\n1\tBM_B\n\n   2", {{"BM_A", "1"}, {"BM_B", "2"}}},
        {"\tBM_A   1 BM_B 2\n\n", {{"BM_A", "1"}, {"BM_B", "2"}}},
        {"BM_A 1 BM_B", {{"BM_A", "1"}, {"BM_B", ""}}},
        {"BM_A first BM_C replaced BM_A second", {{"BM_A", "second"}, {"BM_C", "replaced"}}},
        {" \n\t\n", {{"BM_A", "<unset>"}, {"BM_C", "from-before"}}},
        {"BM_LONG " + long_value + "tail BM_A 1",
         {{"BM_LONG", long_value}, {"tail", "BM_A"}, {"1", ""}, {"BM_A", "<unset>"}}},
        {long_name + "X value", {{long_name, "X"}, {"value", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        setenv("BM_C", "from-before", 1);
        FILE* file = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
        apply_env_setup(file);
        std::fclose(file);
        for (const auto& [name, value] : c.expected) {
            const char* found = std::getenv(name.c_str());
            EXPECT_EQ(found ? found : "<unset>", value) << name;
            unsetenv(name.c_str());
        }
        unsetenv("BM_C");
    }
}

}  // namespace
