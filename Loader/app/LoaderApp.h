// The update tool's application object: every start-up check, the embedded configuration, the
// persisted update state and the device's first examination, ending in the hand-over to the
// main dialog.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "Loader/common/ComString.h"
#include "Loader/common/ParamFile.h"
#include "Loader/common/ProductInfo.h"
#include "Loader/device/PortManage.h"
#include "platform/kernel/Clock.h"
#include "platform/registry/Registry.h"
#include "platform/system/System.h"

enum class AtAnswer;
enum class AtArea;

// Message ids of the start-up boxes (the string table holds their texts).
inline constexpr int kMsgUnsupportedOs = 111;
inline constexpr int kMsgAlreadyRunning = 112;
inline constexpr int kMsgNotAdministrator = 113;
inline constexpr int kMsgNotConnected = 114;
inline constexpr int kMsgSeveralConnected = 115;
inline constexpr int kMsgNoAnswer = 116;
inline constexpr int kMsgDataCall = 204;
inline constexpr int kMsgPortBusy = 205;
inline constexpr int kMsgVersionRefused = 211;
inline constexpr int kMsgRoaming = 212;
inline constexpr int kMsgNoService = 218;
inline constexpr int kMsgConnectionSoft = 219;
inline constexpr int kMsgOfferRecovery = 220;

inline constexpr char kRecoveryVersion[] = "Ver*.**";
inline constexpr char kConnectionSoftProcess[] = "ZR40_ConnectionSoft.exe";

// Everything the main dialog starts from. The pointers stay valid while the entry runs.
struct CLoaderStart {
    // 0 a fresh update; 1-4 the stop an earlier run reached.
    std::uint32_t dwStatus = 0;
    std::uint32_t dwDriverUpdate = 0;
    CComString strExecDir;
    // The running program's folder: what the road installs from and relaunches; the store's
    // ExecDir only records it.
    std::filesystem::path toolDir;
    // The persisted OldVersion when resuming, else the device's, or kRecoveryVersion.
    CComString strDeviceVersion;
    // The carried version label.
    CComString strNewVersion;
    bool bMbnMode = false;
    bool bRecovery = false;
    platform::system::OsVersion os;
    std::uint32_t dwScriptWeight = 0;
    CUsbPort* pPort = nullptr;
    CParamFile* pConfig = nullptr;
    CParamFile* pVersions = nullptr;
    CParamFile* pScript = nullptr;
    CParamFile* pSums = nullptr;
    CComProductInfo* pProductInfo = nullptr;
};

// Shows the main dialog modally and returns when it has closed.
using MainDialogEntry = std::function<void(CLoaderStart&)>;

class CLoaderApp {
  public:
    // `clock` paces the device checks' waits; `discovery` says where the device is looked for.
    explicit CLoaderApp(
        MainDialogEntry mainDialog,
        platform::kernel::Clock& clock = platform::kernel::SystemClock(),
        CUsbPortDiscovery discovery = {},
        platform::registry::Location store = platform::registry::CurrentUserStore());
    ~CLoaderApp();
    CLoaderApp(const CLoaderApp&) = delete;
    CLoaderApp& operator=(const CLoaderApp&) = delete;

    // The whole run; false always, so nothing else follows.
    bool AppInitialize();

    // The label of the version the tool installs, from the version file's GEN text.
    static CComString CarriedVersionLabel(const CComString& strGen);
    // Total of the progress weights of the script's GLOBAL section.
    static std::uint32_t ScriptWeight(const CParamFile& script);

  private:
    bool Run();
    bool LoadConfiguration();
    bool CheckDevice();
    bool OfferRecovery();
    bool ResumeUnrecordedWrite();
    AtAnswer ReadDeviceVersion(CComString& strVersion);
    // Home, roaming or no service.
    AtArea ServiceArea(int nRetries);
    void Release();

    MainDialogEntry m_mainDialog;
    platform::kernel::Clock& m_clock;
    CUsbPortDiscovery m_discovery;
    platform::registry::Location m_store;
    std::unique_ptr<platform::system::SingleInstance> m_pInstance;
    CParamFile m_config;
    CParamFile m_versions;
    CParamFile m_script;
    CParamFile m_sums;
    std::unique_ptr<CComProductInfo> m_pProductInfo;
    std::unique_ptr<CUsbPort> m_pPort;
    CLoaderStart m_start;
};
