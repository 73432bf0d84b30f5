#include "config/profile_ini.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace cashdrawer {
namespace {

TEST(IniRead, FollowsThePrivateProfileRules) {
    const std::string file =
        "; shop settings\r\n"
        "orphan=before any section\r\n"
        "[CashDrawer_Machine]\r\n"
        "  CurrentCashDrawer  =   RN340_A   \r\n"
        "Empty=\r\n"
        "Quoted=\"  spaced  \"\r\n"
        "Half=\"open\r\n"
        "dup=first\r\n"
        "dup=second\r\n"
        "no equals sign here\r\n"
        "\r\n"
        "[ cashdrawerlist ]\r\n"
        "RN340_A=RN340_CashA\r\n"
        "[CashDrawer_Machine]\r\n"
        "Later=only in the second copy\r\n";
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"CashDrawer_Machine", "CurrentCashDrawer", "RN340_A"}, // blanks around name and value
        {"cashdrawer_machine", "CURRENTCASHDRAWER", "RN340_A"}, // names match in any case
        {"CashDrawer_Machine", "Empty", ""},
        {"CashDrawer_Machine", "Quoted", "  spaced  "}, // matching quotes are taken off
        {"CashDrawer_Machine", "Half", "\"open"},
        {"CashDrawer_Machine", "dup", "first"},
        {"CashDrawerList", "RN340_A", "RN340_CashA"},
        {"CashDrawer_Machine", "Later", ""}, // only the first section of a name counts
        {"CashDrawer_Machine", "orphan", ""},
        {"NoSuchSection", "RN340_A", ""},
        {"CashDrawerList", "NoSuchKey", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadIniValue(file, c.section, c.key), c.value) << c.section << "/" << c.key;
    }
}

TEST(IniRead, CutsLongValuesAt254Characters) {
    const std::string value(1000, 'x');
    EXPECT_EQ(ReadIniValue("[s]\nk=" + value + "\n", "s", "k"), std::string(254, 'x'));
    EXPECT_EQ(ReadIniValue("[s]\nk=" + std::string(254, 'y') + "\n", "s", "k"), std::string(254, 'y'));
}

TEST(IniRead, SurvivesFilesThatAreNotIni) {
    std::string binary;
    for (int i = 0; i < 4096; ++i) {
        binary.push_back(static_cast<char>(i * 37));
    }
    EXPECT_EQ(ReadIniValue(binary, "CashDrawer_Machine", "CurrentCashDrawer"), "");
    EXPECT_EQ(ReadIniValue("no sections at all\nk=v\n", "s", "k"), "");
    EXPECT_EQ(ReadIniValue("[unclosed\nk=v\n", "unclosed", "k"), "v");
    EXPECT_EQ(ReadIniValue(std::string(1 << 20, '['), "s", "k"), "");

    std::string manyLines;
    for (int i = 0; i < 100000; ++i) {
        manyLines += "key" + std::to_string(i) + "=value\n";
    }
    EXPECT_EQ(ReadIniValue("[s]\n" + manyLines + "last=found\n", "s", "last"), "found");
}

TEST(IniWrite, ReplacesInPlaceAppendsToTheSectionOrTheFileAndKeepsEverythingElse) {
    struct Case {
        const char* name;
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    };
    const Case cases[] = {
        {"new file", "", "A", "k", "v", "[A]\r\nk=v\r\n"},
        {"replace keeps the file's spelling of the key", "; c\r\n[a]\r\n  Key = old  \r\nz=1\r\n", "A", "KEY", "new",
         "; c\r\n[a]\r\nKey=new\r\nz=1\r\n"},
        {"append at the end of its section, before blank lines", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n", "a", "k", "v",
         "[A]\r\nx=1\r\nk=v\r\n\r\n[B]\r\ny=2\r\n"},
        {"append to the last section", "[A]\r\nx=1\r\n", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n"},
        {"new section at the end of the file", "[A]\r\nx=1\r\n", "B", "k", "v", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
        {"missing final line break", "[A]\r\nx=1", "B", "k", "v", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
        {"unix line breaks stay unix", "[A]\nx=1\n", "A", "x", "2", "[A]\nx=2\n"},
        {"only the first duplicate is replaced", "[A]\r\nk=1\r\nk=2\r\n", "A", "k", "3", "[A]\r\nk=3\r\nk=2\r\n"},
        {"empty value", "[A]\r\nk=1\r\n", "A", "k", "", "[A]\r\nk=\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WriteIniValue(c.before, c.section, c.key, c.value), c.after) << c.name;
    }
}

class IniFiles : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("cashdrawer-ini-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string Path(const char* name) const { return (folder_ / name).string(); }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path folder_;
    IniProfileStore store_;
};

TEST_F(IniFiles, CreatesTheFileOnTheFirstWriteAndReadsItBack) {
    const std::string path = Path("t.ini");
    EXPECT_EQ(store_.ReadString(path, "s", "k"), ""); // no file yet
    store_.WriteString(path, "s", "k", "v");
    store_.WriteString(path, "S", "K2", "v2");
    EXPECT_EQ(Contents(path), "[s]\r\nk=v\r\nK2=v2\r\n");
    EXPECT_EQ(store_.ReadString(path, "S", "k"), "v");
}

TEST_F(IniFiles, AnUnwritablePathIsSilentlyLeftAlone) {
    // A folder where the file should be: opening it for writing fails, as
    // it does in a read-only folder (which root would not see as one).
    const std::string path = Path("blocked.ini");
    std::filesystem::create_directory(path);
    store_.WriteString(path, "s", "k", "v");
    EXPECT_EQ(store_.ReadString(path, "s", "k"), "");
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

} // namespace
} // namespace cashdrawer
