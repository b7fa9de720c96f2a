// The version record and the per-module version check.
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/common/ParamResource.h"
#include "Loader/script/ExecThread.h"

namespace {

// The version record holds printable single-byte characters only.
constexpr int kMaxVersionLength = 99;

bool IsVersionText(const CComString& cstrText) {
    if (cstrText.GetLength() > kMaxVersionLength) {
        return false;
    }
    for (char ch : cstrText.View()) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// Command word of the module version request.
const char* VersionRequestWord(const CComString& cstrType) {
    if (cstrType.CompareNoCase("C_L1") == 0) {
        return "0106";
    }
    if (cstrType.CompareNoCase("C_L2") == 0) {
        return "0206";
    }
    if (cstrType.CompareNoCase("C_L3") == 0) {
        return "0306";
    }
    return nullptr;
}

}  // namespace

int CLoaderExecThread::DBB_D2_SetVersionFunc(CComString cstrValue) {
    if (!IsVersionText(cstrValue)) {
        StepMessage(kMsgCommandFormat, 0);
        StepMessage("   --> " + cstrValue, 1);
        ExecError().ErrContents = kErrStartup;
        return 0;
    }
    CComString command = CComString::Formatted("4442,0108,%02d,", cstrValue.GetLength() + 8);
    command += CComString::BytesToHex(reinterpret_cast<const unsigned char*>(cstrValue.GetString()),
                                      cstrValue.GetLength());
    return DBB_D2_CMDFunc(command);
}

int CLoaderExecThread::DBB_D2_SetVersionFromFileFunc(CComString /*cstrValue*/) {
    const CComString version =
        m_pVerData != nullptr ? m_pVerData->GetParamValueText("latest", "GEN") : CComString();
    if (version.IsEmpty()) {
        // An empty record would leave the device without its version.
        StepMessage(kMsgVersionDefinition, 0);
        StepMessage(MessageText(kMsgNoDefinition, {"latest", "GEN"}), 1);
        ExecError().ErrContents = kErrStartup;
        return 0;
    }
    return DBB_D2_SetVersionFunc(version.Left(kMaxVersionLength));
}

int CLoaderExecThread::DBB_FileVerUp_Func(CComString cstrValue) {
    const CComStringArray fields = cstrValue.Split(',');
    const CComString type = fields.GetAt(0);
    const CComString section = fields.GetAt(1);
    const CComString definitions = fields.GetAt(2);
    const int nSeconds = fields.GetAt(3).ToInt();

    const bool bD2 = type.CompareNoCase("C_D2") == 0;
    const char* pszRequest = VersionRequestWord(type);
    if (!bD2 && pszRequest == nullptr) {
        StepMessage(kMsgVersionDefinition, 0);
        StepMessage("   --> Type:[" + type + "]", 1);
        ExecError().ErrContents = kErrStartup;
        return 0;
    }

    const CComString wanted =
        m_pVerData != nullptr ? m_pVerData->GetParamValueText(section, type) : CComString();

    CComString installed;
    if (!bD2) {
        const std::uint8_t key[2] = {0x44, 0x42};
        RegisterAnswer(key, 2);
        if (DBB_D2_CMDFunc(CComString::Formatted("4442,%s,8", pszRequest)) != 1) {
            return 0;
        }
        if (GetDBBVersion(CComString::Formatted("4442,%d", nSeconds), installed) != 1) {
            return 0;
        }
    }

    if (installed.CompareNoCase(wanted) == 0) {
        StepMessage(kMsgSameVersion, 0);
        StepMessage("   --> [" + installed + "] " + Text("＝＝") + " <" + wanted + ">", 1);
        return 1;
    }

    // The master definitions: section <type> of the embedded text that field 2 names.
    CComString path;
    if (CParamResource::ResourceNumber(definitions) != 0) {
        CParamFile master;
        master.LoadParamKey(type, definitions);
        const int nKeys = master.GetParamKeySize(type);
        for (int i = 0; i < nKeys; ++i) {
            if (master.GetParamKeyText(type, i).CompareNoCase("MasterVerFile") != 0) {
                continue;
            }
            const CComStringArray entry = master.GetParamValueText(type, i).Split(',');
            if (entry.GetAt(0).CompareNoCase(wanted) == 0) {
                path = master.GetParamValueText(type, "Dir") + "\\" + entry.GetAt(1);
                break;
            }
        }
    }
    if (path.IsEmpty()) {
        StepMessage(kMsgVersionDefinition, 0);
        StepMessage(kMsgNoDefinition, {type, wanted}, 1);
    }

    StepMessage(kMsgDownloadVersion, 1);
    StepMessage("   --> Type:[" + type + "], Ver:[" + installed + "] " + Text("≠") + " <" + wanted +
                    ">, File:[" + path + "]",
                1);

    const CComString download = path + CComString::Formatted(",%d", nSeconds);
    return bD2 ? DBB_D2_FileFunc(download) : DBB_LM_FileFunc(download);
}
