#include "platform/system/Autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/platform/system/SystemTestSupport.h"

namespace sys = platform::system;
namespace fs = std::filesystem;
using systemtest::ForOtherUser;
using systemtest::ReadText;

namespace {

uid_t OwnerOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

}  // namespace

TEST_F(ForOtherUser, UserEntryRunsPathsAndArgumentsLiterallyAndBelongsToTheUser) {
    const sys::AutostartEntry entry{"ZR40_SWUpdate",
                                    "/opt/Norvale/mirato ZR40/ZR40 $(id);x",
                                    {"/resume", "1;touch X", "$(id)", "50%", "a\"b\\c", "`id`", ""},
                                    20};
    ASSERT_TRUE(sys::SetAutostart(sys::AutostartScope::kCurrentUser, entry));

    const fs::path dir = root_.Path() / "home/zrtester/.config/autostart";
    const fs::path file = dir / "ZR40_SWUpdate.desktop";
    EXPECT_EQ(sys::AutostartFile(sys::AutostartScope::kCurrentUser, "ZR40_SWUpdate"), file);
    EXPECT_EQ(ReadText(file),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=ZR40_SWUpdate\n"
              "Exec=\"/opt/Norvale/mirato ZR40/ZR40 \\\\$(id);x\" /resume \"1;touch X\" "
              "\"\\\\$(id)\" 50%% \"a\\\\\"b\\\\\\\\c\" \"\\\\`id\\\\`\" \"\"\n"
              "Terminal=false\n"
              "X-GNOME-Autostart-enabled=true\n"
              "X-GNOME-Autostart-Delay=20\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "a temporary file was left behind";
    if (Root()) {
        EXPECT_EQ(OwnerOf(file), systemtest::kOtherUid);
        EXPECT_EQ(OwnerOf(dir), systemtest::kOtherUid);
        EXPECT_EQ(OwnerOf(dir.parent_path()), systemtest::kOtherUid);
    }

    // Replacing keeps one entry; removing twice is fine.
    ASSERT_TRUE(sys::SetAutostart(sys::AutostartScope::kCurrentUser,
                                  {"ZR40_SWUpdate", "/usr/bin/true", {}, std::nullopt}));
    EXPECT_EQ(ReadText(file).find("X-GNOME-Autostart-Delay"), std::string::npos);
    EXPECT_TRUE(sys::RemoveAutostart(sys::AutostartScope::kCurrentUser, "ZR40_SWUpdate"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(sys::RemoveAutostart(sys::AutostartScope::kCurrentUser, "ZR40_SWUpdate"));
}

TEST_F(ForOtherUser, AllUsersEntryWithAnOddNameStaysOneFileAndOneLine) {
    const std::string name = "../Up Manager\nExec=/bin/evil";
    ASSERT_TRUE(sys::SetAutostart(
        sys::AutostartScope::kAllUsers,
        {name, "/opt/Norvale/mirato ZR40/ZR40_UpManager", {"/minimize"}, std::nullopt}));
    const fs::path file = sys::AutostartFile(sys::AutostartScope::kAllUsers, name);
    EXPECT_EQ(file.parent_path(), root_.Path() / "etc/xdg/autostart");
    EXPECT_EQ(file.filename(), "%2E.%2FUp%20Manager%0AExec%3D%2Fbin%2Fevil.desktop");
    const std::string text = ReadText(file);
    EXPECT_NE(text.find("\nName=../Up Manager\\nExec=/bin/evil\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=\"/opt/Norvale/mirato ZR40/ZR40_UpManager\" /minimize\n"),
              std::string::npos);
    if (Root()) {
        EXPECT_EQ(OwnerOf(file), 0u);
    }

    // An executable with '=' cannot be written so that every launcher reads it alike.
    EXPECT_FALSE(
        sys::SetAutostart(sys::AutostartScope::kAllUsers, {"eq", "/opt/a=b", {}, std::nullopt}));
    EXPECT_FALSE(fs::exists(sys::AutostartFile(sys::AutostartScope::kAllUsers, "eq")));
}
