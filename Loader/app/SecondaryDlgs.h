// The update tool's small dialogs: the notice, the waiting box, the two instruction boxes of
// the update road and the version box.
#pragma once

#include "platform/ui/Ui.h"

// Template ids.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_ATTENTION = 178;
inline constexpr int IDD_CONF_WAIT = 179;
inline constexpr int IDD_DRVUP = 180;
inline constexpr int IDD_NWCONN = 181;
inline constexpr int IDC_ABOUT_VERSION = 117;
inline constexpr int IDC_ABOUT_COPYRIGHT = 1003;
// The templates must give the same ids (generated checks).
#include "Loader/app/res/dlg100_ids.h"
#include "Loader/app/res/dlg178_ids.h"
#include "Loader/app/res/dlg179_ids.h"
#include "Loader/app/res/dlg180_ids.h"
#include "Loader/app/res/dlg181_ids.h"

// What the instruction boxes tell the main dialog when the user dismisses them.
class IWaitBoxOwner {
  public:
    virtual void DriverDialogClosed() = 0;
    virtual void NetworkDialogClosed() = 0;

  protected:
    ~IWaitBoxOwner() = default;
};

// Modal; IDOK ("次へ") goes on, IDCANCEL (also the close box) stops the program.
class CAttentionDlg : public platform::ui::Dialog {
  public:
    explicit CAttentionDlg(platform::ui::Dialog* pParent = nullptr);
};

// Modeless, without a parent, on the heap: `(new CConfWait)->Create()`, later DestroyWindow(),
// which frees it. The user cannot close it.
class CConfWait : public platform::ui::Dialog {
  public:
    CConfWait();

  protected:
    void OnClose() override {}
    void OnOK() override {}
    void OnCancel() override {}
    void OnPostDestroy() override;
};

// Modeless members of the main dialog. OK, and the close box, close only the box and tell the
// owner.
class CWaitBoxDlg : public platform::ui::Dialog {
  protected:
    using Closed = void (IWaitBoxOwner::*)();
    CWaitBoxDlg(int nTemplate, IWaitBoxOwner& owner, Closed pClosed, platform::ui::Dialog* pParent);

    void OnOK() override;
    void OnCancel() override { OnOK(); }

  private:
    IWaitBoxOwner& m_owner;
    Closed m_pClosed;
};

class CDrvUpDlg : public CWaitBoxDlg {
  public:
    CDrvUpDlg(IWaitBoxOwner& owner, platform::ui::Dialog* pParent)
        : CWaitBoxDlg(IDD_DRVUP, owner, &IWaitBoxOwner::DriverDialogClosed, pParent) {}
};

class CNwConnDlg : public CWaitBoxDlg {
  public:
    CNwConnDlg(IWaitBoxOwner& owner, platform::ui::Dialog* pParent)
        : CWaitBoxDlg(IDD_NWCONN, owner, &IWaitBoxOwner::NetworkDialogClosed, pParent) {}
};

// Modal version box: the product version and copyright from the version strings.
class CAboutDlg : public platform::ui::Dialog {
  public:
    explicit CAboutDlg(platform::ui::Dialog* pParent = nullptr);

  protected:
    bool OnInitDialog() override;
};
