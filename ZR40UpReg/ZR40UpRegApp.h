// Start-up of the update manager: one per user session, refused on an unsupported system.
#pragma once

#include <string>

#include "ZR40UpReg/UpdateWorker.h"

inline constexpr const char* kManagerMutex = "MUTEX____ZR40_UpManager.exe";

class CZR40UpRegApp {
  public:
    // The whole command line after the program name, words joined by blanks.
    explicit CZR40UpRegApp(std::string strCmdLine, WorkerEnvironment env = {});

    // The process's exit code.
    int Run();

  private:
    std::string m_strCmdLine;
    WorkerEnvironment m_env;
};
