#include "config/ini_file.h"
#include "platform/whole_file.h"
#include "config/profile_ini.h"
#include "sim/sim_terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <string>
#include <vector>

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
        "Single='  kept  '\r\n"
        "Mixed=\"one'\r\n"
        "Lone=\"\r\n"
        "Nothing=\"\"\r\n"
        "ZetaAz=edges of the alphabet\r\n"
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
        {"CashDrawer_Machine", "Single", "  kept  "}, // single quotes too
        {"CashDrawer_Machine", "Mixed", "\"one'"},     // but only a matching pair
        {"CashDrawer_Machine", "Lone", "\""},          // one mark is no pair
        {"CashDrawer_Machine", "Nothing", ""},         // a pair with nothing inside
        {"CashDrawer_Machine", "zETAaZ", "edges of the alphabet"},
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
    // A '[' line without ']' is no section header, as the platform reads it:
    // its keys stay in the section before it.
    EXPECT_EQ(ReadIniValue("[unclosed\nk=v\n", "unclosed", "k"), "");
    EXPECT_EQ(ReadIniValue("[s]\n[unclosed\nk=v\n", "s", "k"), "v");
    EXPECT_EQ(ReadIniValue("[a]b]\nk=v\n", "a]b", "k"), "v"); // the name runs to the last ']'
    EXPECT_EQ(ReadIniValue("[s]\nk=v\r\r\x1a", "s", "k"), "v"); // CRs and the end-of-file mark are blank
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
        {"a CR ending the last line is kept", "[A]\nx=1\r", "A", "k", "v", "[A]\nx=1\r\nk=v\n"},
        {"lines keep their own breaks", "[A]\r\nx=1\ny=2\r\n", "A", "x", "3", "[A]\r\nx=3\ny=2\r\n"},
        {"an unclosed '[' line opens no section", "[A]\r\n[B\r\n", "B", "k", "v", "[A]\r\n[B\r\n[B]\r\nk=v\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WriteIniValue(c.before, c.section, c.key, c.value), c.after) << c.name;
    }
}

class IniFiles : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("cashdrawer-ini-" + std::to_string(::getpid()) + "-" +
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
    // A new file is readable by all, as a text editor would make it: the
    // till's other accounts read the drawer settings too.
    const mode_t umaskBefore = ::umask(022);
    store_.WriteString(path, "s", "k", "v");
    ::umask(umaskBefore);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
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

// A rewrite replaces the file with a new one: it must keep the old one's
// permissions, and a bare file name means the current directory.
TEST_F(IniFiles, ARewriteKeepsThePermissionsAndABareNameIsTheCurrentDirectory) {
    const std::string path = Path("t.ini");
    std::ofstream(path, std::ios::binary) << "[s]\r\nk=1\r\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    store_.WriteString(path, "s", "k", "2");
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    store_.WriteString("bare.ini", "s", "k", "v");
    std::filesystem::current_path(previous);
    EXPECT_EQ(Contents(Path("bare.ini")), "[s]\r\nk=v\r\n");
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 2u) << "no temporary file left beside them";
}

// What the health check asks of the configuration file's path.
TEST_F(IniFiles, KindAndWritabilityOfAPath) {
    const std::string file = Path("there.ini");
    std::ofstream(file) << "[s]\n";
    const std::string folder = Path("sub");
    std::filesystem::create_directory(folder);
    struct Case {
        std::string path;
        PathKind kind;
        bool writable;
    };
    const Case cases[] = {
        {file, PathKind::File, true},
        {Path("missing.ini"), PathKind::Missing, true}, // its folder takes new files
        {folder, PathKind::Other, false},
        {Path("no-folder/missing.ini"), PathKind::Missing, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KindOfPath(c.path), c.kind) << c.path;
        EXPECT_EQ(CanWriteFile(c.path), c.writable) << c.path;
    }
}

// Runs `body` in a child process; true when it exited with 0.
template <typename Body>
pid_t Spawn(Body body) {
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        std::_Exit(0);
    }
    return child;
}

bool ExitedCleanly(pid_t child) {
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two processes (two tills' software, say) write the same file at once,
// many times. Every change of each must survive, and a reader must never
// find the file cut short.
TEST_F(IniFiles, ConcurrentWritersLoseNothingAndReadersNeverSeeAPartFile) {
    const std::string path = Path("CashDrawerconfig.ini");
    constexpr int kWrites = 100;
    const auto writer = [&](const char* section) {
        IniProfileStore store;
        for (int i = 0; i < kWrites; ++i) {
            store.WriteString(path, "CashDrawer_Machine", "CurrentCashDrawer", "RN340_A");
            store.WriteString(path, section, "k" + std::to_string(i), std::string(40, 'x'));
        }
    };
    const pid_t first = Spawn([&] { writer("TillOne"); });
    const pid_t second = Spawn([&] { writer("TillTwo"); });
    int partial = 0;
    for (int read = 0; read < 2000; ++read) {
        const std::string text = Contents(path);
        // Whole files only: every one the writers leave starts with a section
        // and ends with a line break.
        if (!text.empty() && (text.front() != '[' || text.back() != '\n')) {
            ++partial;
        }
    }
    ASSERT_TRUE(ExitedCleanly(first));
    ASSERT_TRUE(ExitedCleanly(second));
    EXPECT_EQ(partial, 0);
    for (const char* section : {"TillOne", "TillTwo"}) {
        for (int i = 0; i < kWrites; ++i) {
            ASSERT_EQ(store_.ReadString(path, section, "k" + std::to_string(i)), std::string(40, 'x'))
                << section << " k" << i << " was lost";
        }
    }
    EXPECT_EQ(store_.ReadString(path, "CashDrawer_Machine", "CurrentCashDrawer"), "RN340_A");
}

// The disk fills up (here: a file size limit) in the middle of a write: the
// file must stay as it was, not be left truncated.
TEST_F(IniFiles, AWriteThatCannotCompleteLeavesTheFileAsItWas) {
    const std::string path = Path("CashDrawerconfig.ini");
    const std::string before = "[CashDrawer_Machine]\r\nCurrentCashDrawer=RN340_A\r\n";
    std::ofstream(path, std::ios::binary) << before;
    const pid_t child = Spawn([&] {
        std::signal(SIGXFSZ, SIG_IGN); // writes past the limit fail with EFBIG instead
        const rlimit limit{static_cast<rlim_t>(before.size() + 8), static_cast<rlim_t>(before.size() + 8)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        IniProfileStore().WriteString(path, "CashDrawerList", "RN340_A", std::string(200, 'y'));
    });
    ASSERT_TRUE(ExitedCleanly(child));
    EXPECT_EQ(Contents(path), before);
    std::size_t leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        leftovers += entry.path().filename() != "CashDrawerconfig.ini" ? 1 : 0;
    }
    EXPECT_EQ(leftovers, 0u) << "no temporary file left beside it";
}

// A program the till starts while a write is under way inherits neither
// the folder's lock nor the file's: it would hold them for its whole life.
TEST_F(IniFiles, AProgramStartedDuringAWriteInheritsNoLock) {
    std::string listing;
    ASSERT_TRUE(UpdateIniFile(Path("CashDrawerconfig.ini"), [&listing](const std::string& text) {
        if (FILE* ls = ::popen("ls -l /proc/self/fd/", "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, ls) != nullptr) {
                listing += line;
            }
            ::pclose(ls);
        }
        return text + "[s]\r\nk=v\r\n";
    }));
    EXPECT_NE(listing.find("/proc/"), std::string::npos) << "the listing ran: " << listing;
    EXPECT_EQ(listing.find(folder_.string()), std::string::npos) << listing;
}

// A path where no file can be opened (a folder stands there): the update
// says that nothing was written.
TEST_F(IniFiles, AnUpdateOfAPathThatIsAFolderSaysItWroteNothing) {
    const std::string path = Path("a-folder.ini");
    std::filesystem::create_directories(path);
    EXPECT_FALSE(UpdateIniFile(path, [](const std::string& text) { return text + "[s]\r\nk=v\r\n"; }));
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

// Writers killed in mid-write (a till's software ended from the task
// manager) leave their temporary files; the next writer in the folder
// clears those of dead writers and leaves a live writer's and any other
// file alone.
TEST_F(IniFiles, TheNextWriterRemovesTheTemporaryFilesOfKilledWriters) {
    const std::string path = Path("CashDrawerconfig.ini");
    for (int kill = 0; kill < 20; ++kill) {
        const pid_t writer = Spawn([&] {
            IniProfileStore store;
            for (int i = 0;; ++i) {
                store.WriteString(path, "CashDrawerList", "k" + std::to_string(i % 50), std::string(4000, 'x'));
            }
        });
        ::usleep(2000 + 500 * static_cast<useconds_t>(kill));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
    }
    pid_t dead = Spawn([] {});
    ASSERT_TRUE(ExitedCleanly(dead));
    const std::vector<std::string> stale = {".CashDrawer-" + std::to_string(dead) + "-a1b2c3", ".CashDrawer-Q7x9Zk"};
    const std::vector<std::string> kept = {".CashDrawer-" + std::to_string(::getpid()) + "-a1b2c3", ".CashDrawer-notes",
                                           ".CashDrawer-x-abcdef", "other.ini"};
    for (const std::string& name : stale) {
        std::ofstream(Path(name.c_str())) << "partial";
    }
    for (const std::string& name : kept) {
        std::ofstream(Path(name.c_str())) << "keep";
    }
    store_.WriteString(path, "CashDrawer_Machine", "CurrentCashDrawer", "RN340_A");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = kept;
    expected.push_back("CashDrawerconfig.ini");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(store_.ReadString(path, "CashDrawer_Machine", "CurrentCashDrawer"), "RN340_A");
}

// A folder where new files cannot be made, holding a file that can be
// written (a shop's read-only share with one writable file): the change
// still lands, in place.
TEST_F(IniFiles, AFileInAFolderWithoutCreateRightsIsStillWritten) {
    const std::string path = Path("t.ini");
    std::ofstream(path, std::ios::binary) << "[s]\r\nk=1\r\n";
    // Root may create files in any folder: the writer runs as a plain user
    // who owns the file and may only read and search the folder.
    constexpr uid_t kNobody = 65534;
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(folder_.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    }
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const pid_t child = Spawn([&] {
        if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            std::_Exit(3);
        }
        IniProfileStore().WriteString(path, "s", "k", "2");
    });
    EXPECT_TRUE(ExitedCleanly(child));
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
    EXPECT_EQ(Contents(path), "[s]\r\nk=2\r\n");
}

// The current directory was deleted under the application: there is no
// configuration file. Nothing is read, nothing is written at the root, and
// the Default exports touch no drawer.
TEST(NoCurrentDirectory, MeansNoConfigurationFile) {
    const auto home = std::filesystem::current_path();
    const auto gone = std::filesystem::temp_directory_path() / ("cashdrawer-gone-" + std::to_string(::getpid()));
    std::filesystem::create_directories(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);

    IniProfileStore store;
    EXPECT_EQ(store.CurrentDirectory(), "");
    sim::BasicSimTerminal<sim::VirtualClock, IniProfileStore> terminal;
    EXPECT_EQ(terminal.library.GetCashStatusDefault(), 0);
    EXPECT_EQ(terminal.library.OpenCashDefault(), 0);
    EXPECT_TRUE(terminal.log.Records().empty()) << "no drawer touched";
    const bool writtenAtRoot = std::filesystem::exists("/CashDrawerconfig.ini");
    std::filesystem::current_path(home);
    EXPECT_FALSE(writtenAtRoot);
}

} // namespace
} // namespace cashdrawer

namespace cashdrawer {
namespace {

// A process started without standard input gets descriptor 0 for the first
// file it opens: the whole-file read takes it like any other.
TEST(WholeFile, DescriptorZeroIsAnOpenedFile) {
    const std::string path = (std::filesystem::temp_directory_path() / ("cashdrawer-whole-" + std::to_string(::getpid()))).string();
    std::ofstream(path) << "[Drawer]\nKey=Value\n";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(STDIN_FILENO);
        const auto content = ReadWholeFile(path);
        ::_exit(content && *content == "[Drawer]\nKey=Value\n" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::filesystem::remove(path);
}

// There the folder's lock is the descriptor 0, and a lock held all the
// same: an update clears a temporary left from before names carried a
// process, which only the lock's holder may take for dead.
TEST(WholeFile, AFolderLockOnDescriptorZeroIsHeld) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("cashdrawer-lock0-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path stale = folder / ".CashDrawer-Q7x9Zk";
    std::ofstream(stale) << "partial";
    // Another writer holds the folder: the child's update must wait for it.
    const int other = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(other); // the lock stays with the parent's open folder
        ::close(STDIN_FILENO);
        const auto update = [&folder] {
            return UpdateIniFile((folder / "CashDrawerconfig.ini").string(),
                                 [](const std::string& text) { return text + "[A]\nK=1\n"; });
        };
        // The second update waits for the folder's lock: the first gave it back.
        const bool updated = update() && update();
        ::_exit(updated ? 0 : 1);
    }
    // Time for a child that ignored the lock to have written: one that
    // waits has touched nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(folder / "CashDrawerconfig.ini")) << "written past the other's lock";
    EXPECT_TRUE(std::filesystem::exists(stale));
    ::close(other);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(stale));
    std::filesystem::remove_all(folder);
}

// A folder the account may write in but not list (a drop box, mode 0333):
// its lock cannot be taken, so the file's own open comes first and, with no
// standard input, gets descriptor 0. The update goes on all the same.
TEST(WholeFile, AnUpdateInAFolderThatCannotBeListedReadsItsFileOnDescriptorZero) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("cashdrawer-dropbox-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0333), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Root lists any folder: the child becomes an ordinary account.
        if (::getuid() == 0 && ::setuid(65534) != 0) {
            ::_exit(2);
        }
        ::close(STDIN_FILENO);
        const bool updated = UpdateIniFile((folder / "CashDrawerconfig.ini").string(),
                                           [](const std::string& text) { return text + "[A]\nK=1\n"; });
        ::_exit(updated ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(folder.c_str(), 0755);
    const auto written = ReadWholeFile((folder / "CashDrawerconfig.ini").string());
    std::filesystem::remove_all(folder);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "this account cannot take another's identity";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(written, std::optional<std::string>("[A]\nK=1\n"));
}

} // namespace
} // namespace cashdrawer
