// Stands in for the update manager on the tool's road: started by the tool after its
// installation, it confirms the registration to the tool's windows at once and ends.
#include "Loader/app/LoaderDlg.h"
#include "platform/window/Window.h"

int main() {
    const int nReached = platform::window::PostToWindowsTitled("ZR-40ソフトウェア更新ツール",
                                                               {WM_LOADER_REGISTERED, 0, 0, {}});
    return nReached > 0 ? 0 : 1;
}
