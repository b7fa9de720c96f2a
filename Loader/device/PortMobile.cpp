// CUsbPort's questions to the Mobile Broadband service and about dial-up connections. Only the
// tool's start-up checks ask them; kept apart from the port so that a program that only writes
// (zr40-loader) leaves them, the system bus library and what it loads out of its link.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Loader/device/PortManage.h"
#include "platform/mobile/Mobile.h"

namespace {

namespace devices = platform::devices;

constexpr std::uint32_t kRegisterRetryMs = 5000;
constexpr char kDialUpDeviceName[] = "mirato ZR40";

// Cuts CP932 text to fit `size` bytes with its NUL, never between the two bytes of a character.
template <std::size_t N>
void CopyText(const std::string& utf8, char (&out)[N]) {
    const CComString text = CComString::FromUtf8(utf8);
    const std::string_view bytes = text.View();
    std::size_t end = 0;
    while (end < bytes.size()) {
        const std::size_t step =
            cp932::IsLeadByte(static_cast<unsigned char>(bytes[end])) && end + 1 < bytes.size() ? 2
                                                                                                : 1;
        if (end + step > N - 1) {
            break;
        }
        end += step;
    }
    std::memcpy(out, bytes.data(), end);
    out[end] = '\0';
}

}  // namespace

std::shared_ptr<platform::mobile::MobileBroadband> CUsbPort::MobileService() const {
    if (m_discovery.mobile) {
        return m_discovery.mobile;
    }
    return platform::mobile::Create();
}

int CUsbPort::AttachMbnInterface() {
    std::optional<std::string> netId;
    for (const devices::DeviceInfo& device :
         DeviceBackend()->PresentDevices(devices::SetupClass::Net)) {
        if (device.hardwareId == devices::kNetHardwareId) {
            netId = device.NetCfgInstanceId();
            break;
        }
    }
    if (!netId) {
        return 0;
    }
    std::shared_ptr<platform::mobile::MobileBroadband> service = MobileService();
    for (const std::string& id : service->InterfaceIds()) {
        if (id == *netId) {
            m_pMbnInterface = std::make_unique<CMbnInterface>();
            m_pMbnInterface->service = std::move(service);
            m_pMbnInterface->id = id;
            return 1;
        }
    }
    return 0;
}

int CUsbPort::GetRegisterState(int nRetries) {
    if (!m_pMbnInterface) {
        return -1;
    }
    const int attempts = std::max(nRetries, 0) + 1;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        const std::optional<int> state =
            m_pMbnInterface->service->RegisterState(m_pMbnInterface->id);
        if (state == platform::mobile::kRegisterHome) {
            return 0;
        }
        if (state == platform::mobile::kRegisterRoaming ||
            state == platform::mobile::kRegisterPartner) {
            return 1;
        }
        if (attempt < attempts) {
            m_clock.SleepMs(kRegisterRetryMs);
        }
    }
    return -1;
}

int CUsbPort::GetDeviceInfo(char (&szFirmware)[10], char (&szDeviceId)[20]) {
    szFirmware[0] = '\0';
    szDeviceId[0] = '\0';
    if (!m_pMbnInterface) {
        return -1;
    }
    const std::optional<platform::mobile::DeviceCaps> caps =
        m_pMbnInterface->service->DeviceCaps(m_pMbnInterface->id);
    if (!caps) {
        return -1;
    }
    CopyText(caps->firmware, szFirmware);
    CopyText(caps->deviceId, szDeviceId);
    return 1;
}

int CUsbPort::GetConnectionState() {
    if (!m_pMbnInterface) {
        return 0;
    }
    const std::optional<int> state = m_pMbnInterface->service->ConnectionState(m_pMbnInterface->id);
    return state == platform::mobile::kConnectionActivated ? 2 : 0;
}

int CUsbPort::IsDialUpActive() {
    const std::shared_ptr<platform::mobile::MobileBroadband> service = MobileService();
    for (const platform::mobile::DialUpEntry& entry : service->ActiveDialUps()) {
        if (entry.deviceName.find(kDialUpDeviceName) != std::string::npos) {
            return 2;
        }
    }
    return 0;
}
