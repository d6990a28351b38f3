// Start-up: the common controls, the window fmMain, the message loop until
// the window closes.
#include "mainwindow.h"

#include <commctrl.h>

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR, int Show)
{
    // Tooltips and the version 6 look of the standard controls.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);

    TMainWindow fmMain(Instance);
    if (!fmMain.Create(Show))
        return 1;
    return fmMain.RunMessageLoop();
}
