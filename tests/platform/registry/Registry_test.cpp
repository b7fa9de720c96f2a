#include "platform/registry/Registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
namespace reg = platform::registry;

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    fs::path File(const char* name = "store.sqlite") const { return dir_.Path() / name; }

    testsupport::TempDir dir_;
};

std::vector<std::string> Subkeys(reg::Store& store, const std::string& key) {
    std::vector<std::string> names;
    EXPECT_TRUE(store
                    .Read([&](reg::Txn& t) {
                        auto r = t.Subkeys(key);
                        if (r.ok()) {
                            names = r.value();
                        }
                        return r.ok() ? reg::Error{} : r.error();
                    })
                    .ok());
    return names;
}

TEST_F(RegistryTest, NamesMatchWithoutCaseKeepTheCreatorsSpellingAndEnumerateAsWindowsDoes) {
    reg::Store store(reg::FileStore(File()));
    ASSERT_TRUE(store.CreateKey("Software\\norvale\\ZR40UpReg").ok());
    auto again = store.CreateKey("SOFTWARE\\Norvale\\zr40upreg");
    ASSERT_TRUE(again.ok());
    EXPECT_FALSE(again.value());
    EXPECT_EQ(Subkeys(store, "software"), std::vector<std::string>{"norvale"});

    for (const char* name : {"b", "_x", "A", "c"}) {
        ASSERT_TRUE(store.CreateKey(std::string("K\\") + name).ok());
    }
    // Folded to upper case, '_' sorts after the letters.
    EXPECT_EQ(Subkeys(store, "k"), (std::vector<std::string>{"A", "b", "c", "_x"}));

    for (const char* name : {"z", "a", "m"}) {
        ASSERT_TRUE(store.SetDword("K", name, 1).ok());
    }
    ASSERT_TRUE(store.SetDword("K", "Z", 2).ok());  // an update keeps its place and spelling
    ASSERT_TRUE(store
                    .Read([](reg::Txn& t) {
                        auto first = t.ValueAt("K", 0);
                        EXPECT_TRUE(first.ok());
                        EXPECT_EQ(first.value().name, "z");
                        EXPECT_EQ(first.value().value.dword, 2u);
                        EXPECT_EQ(t.ValueAt("K", 2).value().name, "m");
                        EXPECT_EQ(t.ValueAt("K", 3).kind(), reg::Kind::kNotFound);
                        return reg::Error{};
                    })
                    .ok());
}

TEST_F(RegistryTest, StringsKeepTheirBytesAndZeroAndTypesDoNotMix) {
    reg::Store store(reg::FileStore(File()));
    ASSERT_TRUE(store.CreateKey("K").ok());
    const std::string cp932 = "\x83\x5C\x95\x5C";  // trail bytes that look like backslashes
    ASSERT_TRUE(store.SetString("K", "with", cp932, reg::Zero::kStored).ok());
    ASSERT_TRUE(store.SetString("K", "without", cp932, reg::Zero::kNotStored).ok());
    ASSERT_TRUE(store.SetDword("K", "n", 0xFFFFFFFFu).ok());
    EXPECT_EQ(store.GetValue("K", "WITH").value().bytes, cp932 + '\0');
    EXPECT_EQ(store.GetValue("K", "without").value().bytes, cp932);
    EXPECT_EQ(store.GetValue("K", "n").value().dword, 0xFFFFFFFFu);
    EXPECT_TRUE(store
                    .Read([](reg::Txn& t) {
                        EXPECT_EQ(t.GetDword("K", "with").kind(), reg::Kind::kTypeMismatch);
                        EXPECT_EQ(t.GetString("K", "n").kind(), reg::Kind::kTypeMismatch);
                        return reg::Error{};
                    })
                    .ok());
    EXPECT_EQ(store.SetDword("Missing", "n", 1).kind, reg::Kind::kNotFound);
    EXPECT_EQ(store.CreateKey("a\\\\b").kind(), reg::Kind::kBadArgument);
    EXPECT_EQ(store.DeleteKey("").kind, reg::Kind::kBadArgument);
}

TEST_F(RegistryTest, DeletingAKeyTakesItsWholeTree) {
    reg::Store store(reg::FileStore(File()));
    ASSERT_TRUE(store.CreateKey("A\\B\\C").ok());
    ASSERT_TRUE(store.SetDword("A\\B\\C", "v", 1).ok());
    ASSERT_TRUE(store.DeleteKey("a\\b").ok());
    EXPECT_EQ(store.OpenKey("A\\B\\C").kind, reg::Kind::kNotFound);
    ASSERT_TRUE(store.CreateKey("A\\B\\C").ok());
    EXPECT_EQ(store.GetValue("A\\B\\C", "v").kind(), reg::Kind::kNotFound);
    EXPECT_EQ(store.DeleteKey("A\\B").kind, reg::Kind::kOk);
    EXPECT_EQ(store.DeleteKey("A\\B").kind, reg::Kind::kNotFound);
}

TEST_F(RegistryTest, AReadCreatesNothingAndABadFileIsAFailureNamingIt) {
    const fs::path absent = dir_.Path() / "sub" / "registry.sqlite";
    reg::Store reader(reg::FileStore(absent));
    EXPECT_EQ(reader.OpenKey("Software").kind, reg::Kind::kNotFound);
    EXPECT_FALSE(fs::exists(absent.parent_path()));

    std::ofstream(File("garbage")) << std::string(5000, 'x');
    reg::Store garbage(reg::FileStore(File("garbage")));
    for (const reg::Error& e :
         {garbage.OpenKey("Software"), garbage.SetDword("Software", "a", 1)}) {
        EXPECT_EQ(e.kind, reg::Kind::kDamaged);
        EXPECT_NE(e.text.find(File("garbage").string()), std::string::npos) << e.text;
    }

    fs::create_symlink(File("garbage"), File("link"));
    reg::Store link(reg::FileStore(File("link")));
    EXPECT_EQ(link.CreateKey("Software\\x").kind(), reg::Kind::kDamaged);

    std::ofstream(File("empty")).close();  // left by a writer killed before its first commit
    reg::Store empty(reg::FileStore(File("empty")));
    EXPECT_EQ(empty.OpenKey("Software").kind, reg::Kind::kNotFound);
    EXPECT_TRUE(empty.CreateKey("Software\\x").ok());
}

TEST_F(RegistryTest, AWriterWaitsForAnotherAndReportsBusyOnlyPastItsTimeOut) {
    reg::Store holder(reg::FileStore(File()));
    reg::Store other(reg::FileStore(File()), 50);
    ASSERT_TRUE(holder.CreateKey("K").ok());
    ASSERT_TRUE(holder
                    .Write([&](reg::Txn& t) {
                        EXPECT_TRUE(t.SetDword("K", "v", 1).ok());
                        EXPECT_EQ(other.SetDword("K", "v", 2).kind, reg::Kind::kBusy);
                        EXPECT_EQ(other.GetValue("K", "v").kind(), reg::Kind::kNotFound);
                        return reg::Error{};
                    })
                    .ok());
    EXPECT_EQ(other.GetValue("K", "v").value().dword, 1u);
    EXPECT_TRUE(other.SetDword("K", "v", 2).ok());
}

TEST_F(RegistryTest, TreesCopyBetweenStoresButNotIntoThemselves) {
    reg::Store machine(reg::FileStore(File("machine.sqlite")));
    reg::Store user(reg::FileStore(File("user.sqlite")));
    ASSERT_TRUE(machine.CreateKey("Software\\X\\Sub\\Deep").ok());
    ASSERT_TRUE(machine.SetString("Software\\X", "s", "abc", reg::Zero::kNotStored).ok());
    ASSERT_TRUE(machine.SetDword("Software\\X\\Sub\\Deep", "d", 7).ok());
    ASSERT_TRUE(reg::CopyTree(machine, "Software\\X", user, "Software\\Y").ok());
    EXPECT_EQ(user.GetValue("Software\\Y", "s").value().bytes, "abc");
    EXPECT_EQ(user.GetValue("Software\\Y\\Sub\\Deep", "d").value().dword, 7u);

    reg::Store sameFile(reg::FileStore(File("machine.sqlite")));
    EXPECT_EQ(reg::CopyTree(machine, "Software\\X", sameFile, "software\\x\\sub").kind,
              reg::Kind::kBadArgument);
    EXPECT_EQ(reg::CopyTree(machine, "Software\\X", machine, "Software\\X").kind,
              reg::Kind::kBadArgument);
    ASSERT_TRUE(reg::CopyTree(machine, "Software\\X", machine, "Software\\XY").ok());
    EXPECT_EQ(machine.GetValue("Software\\XY\\Sub\\Deep", "d").value().dword, 7u);
}

TEST_F(RegistryTest, ARootProcessMakesAnotherUsersStoreThatUsersOwnPrivateFiles) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    fs::create_directories(dir_.Path() / "etc");
    fs::create_directories(dir_.Path() / "home/ann");
    std::ofstream(dir_.Path() / "etc/passwd") << "ann:x:4321:4322::/home/ann:/bin/sh\n";
    testsupport::ScopedEnv root(platform::paths::kRootVariable, dir_.Path().c_str());
    testsupport::ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    const mode_t oldMask = ::umask(022);

    auto place = reg::ResolveUsersPath("uid-4321\\Software\\Norvale");
    ASSERT_TRUE(place.ok());
    EXPECT_EQ(place.value().key, "Software\\Norvale");
    const fs::path file = place.value().store.file;
    EXPECT_EQ(file, dir_.Path() / "home/ann/.config/zr40/registry.sqlite");
    {
        reg::Store store(place.value().store);
        ASSERT_TRUE(store.CreateKey(place.value().key).ok());
        for (const char* suffix : {"", "-wal", "-shm"}) {
            struct stat st {};
            ASSERT_EQ(::stat((file.string() + suffix).c_str(), &st), 0) << suffix;
            EXPECT_EQ(st.st_uid, 4321u) << suffix;
            EXPECT_EQ(st.st_gid, 4322u) << suffix;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
        }
        struct stat dir {};
        ASSERT_EQ(::stat(file.parent_path().c_str(), &dir), 0);
        EXPECT_EQ(dir.st_uid, 4321u);
        EXPECT_EQ(dir.st_mode & 0777, 0700u);
    }
    ::umask(oldMask);
    EXPECT_EQ(reg::ProfileStore("uid-99").kind(), reg::Kind::kNotFound);
}

// Each value is its counter repeated to a few kilobytes, so a torn write would show.
std::string Pattern(unsigned n) {
    std::string unit = std::to_string(n) + ";";
    std::string text;
    while (text.size() < 4000) {
        text += unit;
    }
    return text;
}

bool Whole(const std::string& text, unsigned& n) {
    n = static_cast<unsigned>(std::stoul(text));
    return text == Pattern(n);
}

TEST_F(RegistryTest, AWriterKilledAtAnyMomentLeavesEveryValueWholeOldOrNew) {
    const fs::path file = File();
    {
        reg::Store store(reg::FileStore(file));
        ASSERT_TRUE(store.CreateKey("K").ok());
        ASSERT_TRUE(store.SetString("K", "a", Pattern(0), reg::Zero::kStored).ok());
        ASSERT_TRUE(store.SetString("K", "b", Pattern(0), reg::Zero::kStored).ok());
    }
    unsigned last = 0;
    for (int round = 0; round < 12; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            reg::Store store(reg::FileStore(file));
            for (unsigned n = last + 1;; ++n) {
                // Every third step changes two values in one transaction.
                const bool pair = n % 3 == 0;
                const reg::Error e = store.Write([&](reg::Txn& t) {
                    reg::Error a = t.SetString("K", "a", Pattern(n), reg::Zero::kStored);
                    return a.ok() && pair ? t.SetString("K", "b", Pattern(n), reg::Zero::kStored)
                                          : a;
                });
                if (!e.ok() || ::write(ready[1], "x", 1) != 1) {
                    ::_exit(1);
                }
            }
        }
        ::close(ready[1]);
        char buf[64];
        int commits = 0;
        const int wanted = 1 + round * 7 % 40;  // kills at varied points of the child's loop
        while (commits < wanted) {
            const ssize_t got = ::read(ready[0], buf, static_cast<size_t>(wanted - commits));
            ASSERT_GT(got, 0);
            commits += static_cast<int>(got);
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        ASSERT_TRUE(WIFSIGNALED(status));

        reg::Store store(reg::FileStore(file));
        auto a = store.GetValue("K", "a");
        ASSERT_TRUE(a.ok()) << a.error().text;
        unsigned na = 0;
        ASSERT_TRUE(Whole(a.value().bytes.substr(0, a.value().bytes.size() - 1), na));
        EXPECT_GE(na, last + static_cast<unsigned>(wanted));
        auto b = store.GetValue("K", "b");
        ASSERT_TRUE(b.ok());
        unsigned nb = 0;
        ASSERT_TRUE(Whole(b.value().bytes.substr(0, b.value().bytes.size() - 1), nb));
        EXPECT_EQ(nb, na - na % 3);  // the pair was written together
        last = na;
        ASSERT_TRUE(store.SetDword("K", "alive", 1).ok());
    }
}

}  // namespace
