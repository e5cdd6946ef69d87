// A person's .reg file across a run: loaded, written back only when the run
// changed the registry, with what it did not change kept as it was, and
// never left damaged.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "sim/core/fault.h"
#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"

namespace {

namespace reg = sim::registry;

constexpr const char* kRemap =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap";

std::string Utf16Le(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

class RegFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/quillex-regfile-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/machine.reg";
    }
    void TearDown() override {
        for (const std::string& name : Files()) {
            unlink((dir_ + "/" + name).c_str());
        }
        rmdir(dir_.c_str());
    }

    void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string Read() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
                    names.push_back(e->d_name);
                }
            }
            closedir(d);
        }
        return names;
    }

    sim::fault::Scope faults_;
    reg::Scope registry_;
    std::string dir_;
    std::string path_;
};

// A hand-written UTF-8 file with LF line ends, comments, values out of
// order, another hive's key, a REGEDIT4 header.
const std::string kHandWritten = "REGEDIT4\n"
                                 "\n"
                                 "; my stick\n"
                                 "[HKEY_CURRENT_USER\\Software\\Games]\n"
                                 "\"Volume\"=dword:10\n"
                                 "\n"
                                 "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\"
                                 "Quillex\\Parameters\\Remap]\n"
                                 "; A gives Y\n"
                                 "\"SWAP_TRIGGERS\"=dword:1\n"
                                 "\"BTN_A\"=dword:3\n"
                                 "\"Gone\"=hex:01,\\\n"
                                 "  02\n"
                                 "\n"
                                 "[HKEY_LOCAL_MACHINE\\Software\\Old]\n"
                                 "; about Old\n"
                                 "\"x\"=dword:1\n";

TEST_F(RegFileTest, AChangeKeepsCommentsOrderEncodingAndOtherHives) {
    Write(kHandWritten);
    reg::RegFile file(path_);
    std::string error;
    ASSERT_TRUE(file.CheckWritable(&error)) << error;
    ASSERT_TRUE(file.Load(&error)) << error;
    EXPECT_EQ(reg::GetDword(kRemap, "BTN_A"), 3u);
    EXPECT_FALSE(reg::KeyExists("HKEY_USERS\\Software\\Games")); // not in this machine

    ASSERT_TRUE(reg::SetDword(kRemap, "SWAP_TRIGGERS", 0));
    ASSERT_TRUE(reg::SetDword(kRemap, "SWAP_STICKS", 1));
    ASSERT_TRUE(reg::DeleteValue(kRemap, "Gone"));
    ASSERT_TRUE(reg::DeleteKey("HKLM\\Software\\Old"));
    ASSERT_TRUE(reg::SetString("HKLM\\Software\\New", "Name", "n"));
    bool written = false;
    ASSERT_TRUE(file.Save(&written, &error)) << error;
    EXPECT_TRUE(written);
    EXPECT_EQ(Read(), "REGEDIT4\n"
                      "\n"
                      "; my stick\n"
                      "[HKEY_CURRENT_USER\\Software\\Games]\n"
                      "\"Volume\"=dword:10\n"
                      "\n"
                      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\"
                      "Quillex\\Parameters\\Remap]\n"
                      "; A gives Y\n"
                      "\"SWAP_TRIGGERS\"=dword:00000000\n"
                      "\"BTN_A\"=dword:3\n"
                      "\"SWAP_STICKS\"=dword:00000001\n"
                      "\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\New]\n"
                      "\"Name\"=\"n\"\n"
                      "\n");
    // What it wrote reads back as the registry it came from.
    std::string exported = reg::ExportRegText();
    reg::Reset();
    ASSERT_TRUE(reg::ImportRegFile(path_, &error)) << error;
    EXPECT_EQ(reg::ExportRegText(), exported);
}

TEST_F(RegFileTest, ARunThatChangesNothingLeavesTheFileUntouched) {
    Write(kHandWritten);
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    reg::RegFile file(path_);
    std::string error;
    ASSERT_TRUE(file.Load(&error)) << error;
    // Setting a value to the data it has is no change.
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 3));
    EXPECT_FALSE(file.Changed());
    bool written = true;
    ASSERT_TRUE(file.Save(&written, &error)) << error;
    EXPECT_FALSE(written);
    struct stat after;
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(Read(), kHandWritten);
}

TEST_F(RegFileTest, AFailedWriteLeavesTheOriginalByteForByte) {
    Write(kHandWritten);
    chmod(path_.c_str(), 0640);
    reg::RegFile file(path_);
    std::string error;
    ASSERT_TRUE(file.Load(&error)) << error;
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 0));
    sim::fault::FailNthCall("ReplaceFile", 1, STATUS_UNSUCCESSFUL);
    bool written = true;
    EXPECT_FALSE(file.Save(&written, &error));
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_NE(error.find("the old file is unchanged"), std::string::npos) << error;
    EXPECT_EQ(Read(), kHandWritten);
    EXPECT_EQ(Files(), std::vector<std::string>{"machine.reg"}); // no temporary file left

    // The next attempt succeeds and keeps the file's permissions.
    ASSERT_TRUE(file.Save(&written, &error)) << error;
    EXPECT_TRUE(written);
    EXPECT_NE(Read().find("\"BTN_A\"=dword:00000000\n"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Files(), std::vector<std::string>{"machine.reg"});
}

TEST_F(RegFileTest, EncodingsAreDetectedAndKept) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Q]\r\n"
                             "\"v\"=dword:00000001\r\n\r\n";
    const std::string utf16 = Utf16Le(text);
    struct Case {
        const char* what;
        std::string bytes;
        std::string prefix; // what the written file starts with
    } cases[] = {
        {"UTF-16LE with its mark", "\xFF\xFE" + utf16, "\xFF\xFE" + utf16.substr(0, 8)},
        {"UTF-16LE without a mark", utf16, utf16.substr(0, 8)},
        {"UTF-8 with its mark", "\xEF\xBB\xBF" + text, "\xEF\xBB\xBFWind"},
        {"UTF-8", text, "Wind"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reg::Reset();
        Write(c.bytes);
        reg::RegFile file(path_);
        std::string error;
        ASSERT_TRUE(file.Load(&error)) << error;
        EXPECT_EQ(reg::GetDword("HKLM\\Software\\Q", "v"), 1u);
        ASSERT_TRUE(reg::SetDword("HKLM\\Software\\Q", "v", 2));
        bool written = false;
        ASSERT_TRUE(file.Save(&written, &error)) << error;
        std::string bytes = Read();
        EXPECT_EQ(bytes.substr(0, c.prefix.size()), c.prefix);
        reg::Reset();
        ASSERT_TRUE(reg::ImportRegFile(path_, &error)) << error;
        EXPECT_EQ(reg::GetDword("HKLM\\Software\\Q", "v"), 2u);
    }
}

TEST_F(RegFileTest, AMissingFileIsCreatedAsRegeditWritesIt) {
    reg::RegFile file(path_);
    std::string error;
    ASSERT_TRUE(file.CheckWritable(&error)) << error;
    ASSERT_TRUE(file.Load(&error)) << error;
    EXPECT_EQ(Files(), std::vector<std::string>{}); // the check left nothing behind
    ASSERT_TRUE(reg::SetDword("HKLM\\Software\\Q", "v", 1));
    bool written = false;
    ASSERT_TRUE(file.Save(&written, &error)) << error;
    EXPECT_TRUE(written);
    EXPECT_EQ(Read().substr(0, 4), std::string("\xFF\xFEW\0", 4));
}

TEST_F(RegFileTest, UnwritablePlacesAreReportedWithTheSystemsReason) {
    std::string error;
    EXPECT_FALSE(reg::RegFile(dir_ + "/missing/machine.reg").CheckWritable(&error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    Write("x");
    EXPECT_FALSE(reg::RegFile(path_ + "/machine.reg").CheckWritable(&error));
    EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
    EXPECT_FALSE(reg::RegFile(dir_).CheckWritable(&error));
    EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
}

TEST_F(RegFileTest, AMalformedFileIsNotLoadedAndNotTouched) {
    const std::string bad = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\S]\n"
                            "\"v\"=dword:xyz\n";
    Write(bad);
    reg::RegFile file(path_);
    std::string error;
    EXPECT_FALSE(file.Load(&error));
    EXPECT_NE(error.find("machine.reg: line 4: dword data"), std::string::npos) << error;
    EXPECT_FALSE(reg::KeyExists("HKLM\\S"));
    EXPECT_EQ(Read(), bad);
}

} // namespace
