// The application's environment file, read into the process environment before the launch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/app_start.h"
#include "image/slot_boot.h"

namespace {

// Applies an env-setup text and leaves the named variables to be checked; they are removed
// again when the test ends so cases do not see each other's values.
class EnvSetup : public ::testing::Test {
protected:
    void apply(const std::string& text) {
        FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::rewind(file);
        apply_env_setup(file);
        std::fclose(file);
    }
    void TearDown() override {
        for (const char* name : {"BM_A", "BM_B", "BM_C", "BM_LONG"}) unsetenv(name);
        unsetenv(std::string(511, 'N').c_str());
    }
    static std::string value_of(const char* name) {
        const char* value = std::getenv(name);
        return value ? value : "<unset>";
    }
};

TEST_F(EnvSetup, PairsAreReadTwoWordsAtATimeWhateverTheLayout) {
    for (const char* text : {"BM_A 1 BM_B 2", "BM_A 1\nBM_B 2\n", "BM_A\n1\tBM_B\n\n   2", "\tBM_A   1 BM_B 2\n\n"}) {
        SCOPED_TRACE(text);
        apply(text);
        EXPECT_EQ(value_of("BM_A"), "1");
        EXPECT_EQ(value_of("BM_B"), "2");
        unsetenv("BM_A");
        unsetenv("BM_B");
    }
}

TEST_F(EnvSetup, LoneLastWordGetsAnEmptyValue) {
    apply("BM_A 1 BM_B");
    EXPECT_EQ(value_of("BM_A"), "1");
    EXPECT_EQ(value_of("BM_B"), "");
}

TEST_F(EnvSetup, LaterPairsOverwriteEarlierOnesAndExistingVariables) {
    setenv("BM_C", "from-before", 1);
    apply("BM_A first BM_C replaced BM_A second");
    EXPECT_EQ(value_of("BM_A"), "second");
    EXPECT_EQ(value_of("BM_C"), "replaced");
}

TEST_F(EnvSetup, EmptyFileSetsNothing) {
    apply(" \n\t\n");
    EXPECT_EQ(value_of("BM_A"), "<unset>");
}

// A word is cut after 511 characters and its remainder is read as the next word, which shifts
// the pairs that follow.
TEST_F(EnvSetup, LongWordIsCutAndItsRemainderIsTheNextWord) {
    std::string long_value(511, 'v');
    apply("BM_LONG " + long_value + "tail BM_A 1");
    EXPECT_EQ(value_of("BM_LONG"), long_value);
    EXPECT_EQ(value_of("tail"), "BM_A");
    EXPECT_EQ(value_of("1"), "");
    EXPECT_EQ(value_of("BM_A"), "<unset>");
    unsetenv("tail");
    unsetenv("1");
}

TEST_F(EnvSetup, LongNameIsCutToo) {
    std::string name(511, 'N');
    apply(name + "X value");
    EXPECT_EQ(value_of(name.c_str()), "X");
    EXPECT_EQ(value_of("value"), "");
    unsetenv("value");
}

// Sources other than the two slots and the stick are refused at once, before any file is opened.
TEST(BootImage, UnknownSourceReturnsZeroAtOnce) {
    EXPECT_EQ(boot_image(0), 0);
    EXPECT_EQ(boot_image(4), 0);
    EXPECT_EQ(boot_image(-1), 0);
}

}  // namespace
