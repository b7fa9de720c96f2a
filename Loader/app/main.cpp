// ZR40_SWUpdate: the update tool. Takes no arguments; everything it needs is embedded or kept in
// the user's state store.
#include "Loader/app/LoaderApp.h"
#include "Loader/app/LoaderDlg.h"
#include "platform/ui/qt/QtHost.h"

int main() {
    platform::ui::qt::RegisterQtHost();
    CLoaderApp app([](CLoaderStart& start) {
        CLoaderDlg dialog(start);
        dialog.DoModal();
    });
    app.AppInitialize();
    return 0;
}
