// zr40-loader as a process against the simulator, with short scripts and WaitTime=1: its start
// trace, and the progress bar's count of the frames a section writes.
#include <gmock/gmock.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "tests/e2e/E2eSupport.h"
#include "tests/support/ChildProcess.h"

namespace e2etest {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto kGuard = std::chrono::milliseconds(60000);

class LoaderCommand : public E2eTest {
  protected:
    // The loader with `script` (UTF-8, LF) and the configuration with WaitTime=1, its errors on
    // its output; `extraEnv` is added to the test's environment.
    std::optional<int> RunLoader(const std::string& script,
                                 std::vector<std::string> extraEnv = {}) {
        const std::filesystem::path dir = work.Path();
        std::ofstream(dir / "script.ini") << script;
        std::string ini = ShippedText(enginetest::kIniText);
        const std::size_t at = ini.find("WaitTime=10\r\n");
        if (at == std::string::npos) {
            return std::nullopt;
        }
        ini.replace(at, 11, "WaitTime=1");
        std::ofstream(dir / "config.ini", std::ios::binary) << ini;
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with("ZR40_START_TRACE=")) {
                env.emplace_back(*entry);
            }
        }
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        loader = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{ZR_LOADER, "--script", (dir / "script.ini").string(),
                                     "--config", (dir / "config.ini").string()},
            testsupport::ChildProcess::Options{.cwd = dir, .env = env});
        while (loader->NextLine(testsupport::In(kGuard))) {
        }
        return loader->Wait(testsupport::In(kGuard));
    }

    // The start marks in the order written, and whether their clock never went back.
    std::vector<std::string> Marks(bool* pInOrder = nullptr) const {
        std::vector<std::string> names;
        long long last = 0;
        bool bInOrder = true;
        for (const std::string& line : loader->Lines()) {
            std::istringstream in(line);
            std::string tag;
            std::string name;
            long long ns = 0;
            if (in >> tag >> name >> ns && tag == "zr40-start") {
                names.push_back(name);
                bInOrder = bInOrder && ns >= last;
                last = ns;
            }
        }
        if (pInOrder != nullptr) {
            *pInOrder = bInOrder;
        }
        return names;
    }

    std::vector<std::string> ProgressLines() const {
        std::vector<std::string> lines;
        std::copy_if(loader->Lines().begin(), loader->Lines().end(), std::back_inserter(lines),
                     [](const std::string& line) { return line.starts_with("progress "); });
        return lines;
    }

    devsim_test::TempDir work;
    std::unique_ptr<testsupport::ChildProcess> loader;
};

// Two version requests in normal mode: the first frame, and one after the trace has ended.
constexpr char kTwoRequests[] =
    "[GLOBAL]\n"
    "Port=open,10\n"
    "CMD=FFFDEFFDEE6F000140FE\n"
    "CMD=FFFDEFFDEE6F000140FE\n"
    "Port=close\n";

TEST_F(LoaderCommand, TheStartTraceMarksEachStepUpToTheFirstFrameAndNothingAfterIt) {
    Launch();
    ASSERT_EQ(RunLoader(kTwoRequests, {"ZR40_START_TRACE=1"}), 0) << loader->Text();
    bool bInOrder = false;
    EXPECT_THAT(Marks(&bInOrder), ElementsAre("loaded", "main", "start", "found", "pause", "row",
                                              "done", "pause", "row", "sent"));
    EXPECT_TRUE(bInOrder) << loader->Text();
    const std::vector<std::string> frames = FrameLines();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "rx RAW VERSION 10"), 2);

    // Without the variable the output carries no trace at all.
    ASSERT_EQ(RunLoader(kTwoRequests, {"ZR40_START_TRACE="}), 0) << loader->Text();
    EXPECT_THAT(Marks(), IsEmpty()) << loader->Text();
}

TEST_F(LoaderCommand, TheProgressCountsTheFramesOfEveryImageTheSectionWrites) {
    Launch();
    const std::string script =
        "[GLOBAL]\n"
        "Port=open,10\n"
        "CMD=ff550042000101fe\n"
        "Timer=1\n"
        "Port=close\n"
        "Port=open,10\n"
        "DBB_D2_CMD=4442,2805,12,00370037\n"
        "Wait_DBB=4442,-1\n"
        "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,20\n"
        "DBB_D2_CMD=4442,0107,8\n"
        "Wait_DBB=4442,-1\n"
        "DBB_D2_CMD=4442,2805,12,00380038\n"
        "Wait_DBB=4442,-1\n"
        "DBB_LM_File=DATA\\C_L2\\QRV_C_L2.cvt,20\n"
        "DBB_D2_CMD=4442,0107,8\n"
        "Wait_DBB=4442,-1\n";
    ASSERT_EQ(RunLoader(script), 0) << loader->Text();
    const std::size_t nFrames =
        devsim_test::ImageFrames("C_PS").size() + devsim_test::ImageFrames("C_L2").size();
    ASSERT_GT(nFrames, 2U);
    const std::string total = std::to_string(nFrames);
    const std::vector<std::string> progress = ProgressLines();
    ASSERT_FALSE(progress.empty()) << loader->Text();
    // Not a terminal: one line each time another tenth is reached, the last one at the end.
    EXPECT_EQ(progress.front(),
              "progress " + std::to_string(100 / nFrames) + "% (1/" + total + " frames)");
    EXPECT_EQ(progress.back(), "progress 100% (" + total + "/" + total + " frames)");
    EXPECT_THAT(loader->Lines(), Contains("zr40-loader: [GLOBAL] done"));
}

}  // namespace
}  // namespace e2etest
