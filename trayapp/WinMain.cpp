// Kavelor's entry point on Windows: the application object (which takes the single-instance mutex before
// anything else), start-up, the message loop while it runs, and shutdown. A start-up that ends early
// (second instance, incomplete installation) ends the process with exit code 1.
#include "trayapp/KavelorApp.h"
#include "trayapp/ResourceException.h"
#include "trayapp/Win32KavelorShell.h"

#include <windows.h>
#include <shellapi.h>

#include <new>
#include <vector>

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    using namespace Kavelor;
    try
    {
        CWin32KavelorShell shell(hInstance);
        CKavelorApp app(hInstance, shell);

        std::vector<WString> arguments;
        int argc = 0;
        LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        if (argv != nullptr)
        {
            arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
            LocalFree(argv);
        }

        BOOL bStarted = app.InitInstance(arguments);
        if (bStarted)
        {
            shell.Run();
            shell.DestroyMainWindow();
        }
        int nExitCode = app.ExitInstance();
        return bStarted ? nExitCode : 1;
    }
    catch (const CResourceException&)
    {
        return 1;
    }
    catch (const std::bad_alloc&)
    {
        return 1;
    }
}
