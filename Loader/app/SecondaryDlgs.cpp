#include "Loader/app/SecondaryDlgs.h"

#include "Loader/common/ComString.h"
#include "Loader/common/ProductInfo.h"

CAttentionDlg::CAttentionDlg(platform::ui::Dialog* pParent)
    : platform::ui::Dialog(IDD_ATTENTION, pParent) {}

CConfWait::CConfWait() : platform::ui::Dialog(IDD_CONF_WAIT, nullptr) {}

void CConfWait::OnPostDestroy() {
    delete this;
}

CWaitBoxDlg::CWaitBoxDlg(int nTemplate, IWaitBoxOwner& owner, Closed pClosed,
                         platform::ui::Dialog* pParent)
    : platform::ui::Dialog(nTemplate, pParent), m_owner(owner), m_pClosed(pClosed) {}

void CWaitBoxDlg::OnOK() {
    (m_owner.*m_pClosed)();
    DestroyWindow();
}

CAboutDlg::CAboutDlg(platform::ui::Dialog* pParent) : platform::ui::Dialog(IDD_ABOUTBOX, pParent) {}

bool CAboutDlg::OnInitDialog() {
    const CComProductInfo info;
    const CComString strVersion = info.Get("ProductVersion");
    SetItemText(IDC_ABOUT_VERSION,
                CComString::Formatted("RURududiv Version v%s", strVersion.GetString()).View());
    SetItemText(IDC_ABOUT_COPYRIGHT, info.Get("LegalCopyright").View());
    return true;
}
