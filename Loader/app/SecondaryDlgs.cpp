#include "Loader/app/SecondaryDlgs.h"

#include "Loader/common/ComString.h"
#include "Loader/common/ProductInfo.h"

CAttentionDlg::CAttentionDlg(platform::ui::Dialog* pParent)
    : platform::ui::Dialog(IDD_ATTENTION, pParent) {}

CConfWait::CConfWait() : platform::ui::Dialog(IDD_CONF_WAIT, nullptr) {}

void CConfWait::OnPostDestroy() {
    delete this;
}

CDrvUpDlg::CDrvUpDlg(IWaitBoxOwner& owner, platform::ui::Dialog* pParent)
    : platform::ui::Dialog(IDD_DRVUP, pParent), m_owner(owner) {}

void CDrvUpDlg::OnOK() {
    m_owner.DriverDialogClosed();
    DestroyWindow();
}

// The close box dismisses the box the same way as OK.
void CDrvUpDlg::OnCancel() {
    OnOK();
}

CNwConnDlg::CNwConnDlg(IWaitBoxOwner& owner, platform::ui::Dialog* pParent)
    : platform::ui::Dialog(IDD_NWCONN, pParent), m_owner(owner) {}

void CNwConnDlg::OnOK() {
    m_owner.NetworkDialogClosed();
    DestroyWindow();
}

void CNwConnDlg::OnCancel() {
    OnOK();
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
