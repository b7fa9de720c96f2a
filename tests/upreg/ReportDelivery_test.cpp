// The manager killed with SIGKILL at any moment of sending the owed reports, and started again
// until nothing is owed: no report is lost and none goes out again once its acceptance is stored.
// Ended with the session in the middle of a send, it ends cleanly and the report stays owed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Loader/app/StateStore.h"
#include "ZR40UpReg/UpRegStore.h"
#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "tests/platform/net/ServerdRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/Routes.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

extern char** environ;

namespace fs = std::filesystem;
namespace reg = platform::registry;
using testsupport::ScopedEnv;

namespace {

constexpr std::uint32_t kGuardMs = 30000;
constexpr const char* kUpdateList = "Software\\Norvale\\ZR40UpReg\\UpdateList";
constexpr const char* kRequesting = "Software\\Norvale\\ZR40UpReg\\UpdateRequesting";
constexpr const char* kRetry = "Software\\Norvale\\ZR40UpReg\\UpdateRetry";

struct Post {
    std::string serial;
    int status = 0;
};

class ReportDelivery : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(m_root.Path() / "script") << "";
        // The routes are read below ZR40_ROOT; the interface they name must be up here.
        if (!testsupport::WriteDefaultRoute(m_root.Path())) {
            GTEST_SKIP() << "no network interface up";
        }
        CStateStore tool(m_location);
        ASSERT_EQ(tool.CreateStateKeys(), 1);
        for (const char* serial : kSerials) {
            ASSERT_EQ(tool.WriteUpdateListEntry(serial, "Ver1.01"), 1);
        }
        ASSERT_EQ(tool.SetUpdateRequesting(true), 1);
        ASSERT_EQ(CUpRegStore(m_location).WriteVerCheck(false), 1);
    }

    pid_t Start() {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (m_root.Path() / "manager.err").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        char arg[] = "/minimize";
        char* argv[] = {const_cast<char*>(ZR_UPMANAGER), arg, nullptr};
        pid_t pid = -1;
        posix_spawn(&pid, ZR_UPMANAGER, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // The notification POSTs logged since the last call; a line still being written waits.
    std::vector<Post> NewPosts() {
        std::ifstream in(m_log);
        in.seekg(static_cast<std::streamoff>(m_logRead));
        std::vector<Post> posts;
        std::string line;
        while (std::getline(in, line) && !in.eof()) {
            m_logRead += line.size() + 1;
            if (line.find("\"path\":\"/update/telmirato/zr-40/update1/notify\"") ==
                std::string::npos) {
                continue;
            }
            Post post;
            const auto from = line.find("serial=");
            const auto to = line.find('&', from);
            if (from != std::string::npos && to != std::string::npos) {
                post.serial = line.substr(from + 7, to - from - 7);
            }
            const auto status = line.find("\"status\":");
            if (status != std::string::npos) {
                post.status = std::stoi(line.substr(status + 9));
            }
            posts.push_back(post);
        }
        return posts;
    }

    std::set<std::string> Owed() {
        std::set<std::string> owed;
        reg::Store store(m_location);
        const reg::Error e = store.Read([&](reg::Txn& t) {
            auto keys = t.Subkeys(kUpdateList);
            if (keys.ok()) {
                owed.insert(keys.value().begin(), keys.value().end());
            }
            return keys.ok() || keys.error().kind == reg::Kind::kNotFound ? reg::Error{}
                                                                          : keys.error();
        });
        EXPECT_TRUE(e.ok() || e.kind == reg::Kind::kNotFound) << e.text;
        return owed;
    }
    bool Exists(const char* key) { return reg::Store(m_location).OpenKey(key).ok(); }

    static constexpr const char* kSerials[] = {"358000000000001", "358000000000002",
                                               "358000000000003", "358000000000004",
                                               "358000000000005", "358000000000006"};
    testsupport::TempDir m_root;
    testsupport::IsolatedRoot m_isolated{m_root.Path()};
    ScopedEnv m_ui{"ZR40_UI", "scripted"};
    ScopedEnv m_script{"ZR40_UI_SCRIPT", (m_root.Path() / "script").c_str()};
    // Where the program finds it: the current user's store below ZR40_ROOT.
    reg::Location m_location = reg::CurrentUserStore();
    fs::path m_log = m_root.Path() / "server.log";
    std::size_t m_logRead = 0;
};

TEST_F(ReportDelivery, KilledAnywhereWhileSendingItLosesNoReportAndResendsOnlyUncommitted) {
    // Answers run on across restarts. The starts below are killed once the 1st, 3rd, 6th, 7th
    // and 9th request is in: those get a held-back 200 (the kill lands before the manager has
    // it), a held-back 503, or a 200 at once (the kill races the delete).
    net_test::Serverd server({"--log", m_log.string(), "--notify",
                              "200@300,200,503@200,200,200,200@300,503@200,200,200,200"});
    ASSERT_GT(server.Port(), 0);
    ScopedEnv url("ZR40_UPDATE_SERVER",
                  ("http://127.0.0.1:" + std::to_string(server.Port())).c_str());

    std::map<std::string, int> accepted;
    std::map<std::string, int> acceptedButKilled;
    std::set<std::string> owed(std::begin(kSerials), std::end(kSerials));
    int round = 0;
    for (; !owed.empty() || Exists(kRequesting); ++round) {
        ASSERT_LT(round, 40) << "still owed after 40 starts";
        // The retry interval a failure stored would only delay the next start's first send.
        const reg::Error e = reg::Store(m_location).DeleteKey(kRetry);
        ASSERT_TRUE(e.ok() || e.kind == reg::Kind::kNotFound) << e.text;
        const pid_t pid = Start();
        ASSERT_GT(pid, 0);
        std::vector<Post> posts;
        // Right after the start, or once the Nth request of this start is in (its answer is
        // often still held back by the server, sometimes already on its way).
        const std::size_t killAfter = static_cast<std::size_t>(round % 4);
        if (killAfter > 0) {
            testsupport::Eventually(
                [&] {
                    for (Post& p : NewPosts()) {
                        posts.push_back(p);
                    }
                    return posts.size() >= killAfter || Owed().empty();
                },
                kGuardMs);
        }
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
        for (Post& p : NewPosts()) {
            posts.push_back(p);
        }

        const std::set<std::string> nowOwed = Owed();
        // An entry left without the flag would never be sent: a lost report.
        ASSERT_TRUE(nowOwed.empty() || Exists(kRequesting)) << "round " << round;
        for (const Post& p : posts) {
            // Once a report's deletion is committed, it never goes out again.
            EXPECT_TRUE(owed.contains(p.serial)) << p.serial << " sent again in round " << round;
            if (p.status == 200) {
                ++accepted[p.serial];
                acceptedButKilled[p.serial] += nowOwed.contains(p.serial) ? 1 : 0;
            }
        }
        for (const std::string& serial : owed) {
            if (nowOwed.contains(serial)) {
                continue;
            }
            // Deleted only after the server's 200, and nothing went out for it after that 200:
            // the manager deletes before it sends anything else.
            std::size_t last = posts.size();
            for (std::size_t i = 0; i < posts.size(); ++i) {
                last = posts[i].serial == serial ? i : last;
            }
            ASSERT_LT(last, posts.size()) << serial << " deleted without a request";
            EXPECT_EQ(posts[last].status, 200) << serial << " deleted without acceptance";
        }
        owed = nowOwed;
    }

    // A kill between the server's 200 and the committed delete leaves the report owed, and the
    // next start sends it again: the server may hold a report more than once, never less, and
    // every copy beyond the one whose delete was committed comes from a start killed in that
    // window.
    for (const char* serial : kSerials) {
        EXPECT_EQ(accepted[serial], acceptedButKilled[serial] + 1) << serial;
    }
    EXPECT_TRUE(Owed().empty());
    EXPECT_FALSE(Exists(kRequesting));
    EXPECT_GE(round, 4);
}

// The end of the session in the middle of a send: the manager gives the request up and ends as
// after the tool's close, and the report waits in the store for the next logon.
TEST_F(ReportDelivery, SessionEndDuringASendEndsTheManagerCleanlyAndTheNextStartSendsAgain) {
    std::vector<std::string> sent;
    for (const int signal : {SIGHUP, SIGTERM}) {
        // Nothing is answered before the signal.
        net_test::Serverd server({"--log", m_log.string(), "--notify", "200@600000"});
        ASSERT_GT(server.Port(), 0);
        ScopedEnv url("ZR40_UPDATE_SERVER",
                      ("http://127.0.0.1:" + std::to_string(server.Port())).c_str());
        const reg::Error e = reg::Store(m_location).DeleteKey(kRetry);
        ASSERT_TRUE(e.ok() || e.kind == reg::Kind::kNotFound) << e.text;
        const pid_t pid = Start();
        ASSERT_GT(pid, 0);
        testsupport::Eventually(
            [&] {
                for (const Post& p : NewPosts()) {
                    sent.push_back(p.serial);
                }
                return sent.size() == (signal == SIGHUP ? 1u : 2u);
            },
            kGuardMs);
        ::kill(pid, signal);
        int status = -1;
        bool ended = false;
        testsupport::Eventually(
            [&] { return ended = ended || ::waitpid(pid, &status, WNOHANG) == pid; }, kGuardMs);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ASSERT_TRUE(ended) << "signal " << signal << " did not end the manager";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "signal " << signal << ": "
            << (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                  : "killed by " + std::to_string(WTERMSIG(status)))
            << "\n"
            << testsupport::ReadText(m_root.Path() / "manager.err");
        EXPECT_EQ(Owed(), std::set<std::string>(std::begin(kSerials), std::end(kSerials)));
        EXPECT_TRUE(Exists(kRequesting));
    }
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]);
    // Each start took its tray icon down on the way out.
    std::stringstream in;
    in << std::ifstream(m_root.Path() / "manager.err").rdbuf();
    const std::string record = in.str();
    std::size_t removed = 0;
    for (auto at = record.find("tray remove"); at != std::string::npos;
         at = record.find("tray remove", at + 1)) {
        ++removed;
    }
    EXPECT_EQ(removed, 2u) << record;
}

}  // namespace
