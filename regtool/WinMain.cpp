// Kavset's entry point on Windows: a program without a window whose exit code is its only output. The
// arguments come from the runtime's argument vector, not from the entry point's parameters.
#include "regtool/CmdLineParam.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    UNREFERENCED_PARAMETER(hInstance);
    UNREFERENCED_PARAMETER(hPrevInstance);
    UNREFERENCED_PARAMETER(lpCmdLine);
    UNREFERENCED_PARAMETER(nShowCmd);
    return Kavelor::KavsetMain();
}
