/* kavelor_probe: a small Windows program the Kavelor Wine tests run in Kavelor's prefix to look into and
 * drive its main window the way the shell and the user would: it reads the toolbar's buttons (command,
 * enabled state, text) out of Kavelor's process, posts the commands the toolbar, the title bar and the tray
 * menu send, and finds the version dialog. One action per run; exit code 0 when it was done, 2 when the
 * window or the dialog is not there, 3 when the buttons could not be read. It is built for the machine of
 * the Kavelor it looks at (i686 for the 32-bit program, x86_64 for the win64 stand-in).
 *
 *   kavelor_probe hello              exit code 0 without looking for Kavelor: this Wine runs the probe
 *   kavelor_probe buttons            one line per button: command, 1/0 enabled, text (UTF-8)
 *   kavelor_probe tooltips           one line per button: command, the text its tooltip shows (UTF-8)
 *   kavelor_probe list               the device list's window style and item count, both in hex
 *   kavelor_probe command N          WM_COMMAND N to the main window
 *   kavelor_probe syscommand N       WM_SYSCOMMAND N to the main window
 *   kavelor_probe visible            prints 1 or 0
 *   kavelor_probe about              the version dialog's caption and its visibility
 *   kavelor_probe close-about        OK on the version dialog
 */
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <wchar.h>

static const WCHAR kAboutCaption[] = L"\x30D0\x30FC\x30B8\x30E7\x30F3\x60C5\x5831"; /* バージョン情報 */

static void PrintUtf8(const WCHAR* text)
{
    char buffer[1024];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer), NULL, NULL);
    if (length > 0)
    {
        fputs(buffer, stdout);
    }
}

static int PrintButtons(HWND main)
{
    HWND toolbar = FindWindowExW(main, NULL, L"ToolbarWindow32", NULL);
    if (toolbar == NULL)
    {
        return 2;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(toolbar, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process == NULL)
    {
        return 3;
    }
    /* The toolbar writes into memory of its own process: a page there, read back after each call. */
    BYTE* remote = VirtualAllocEx(process, NULL, 4096, MEM_COMMIT, PAGE_READWRITE);
    if (remote == NULL)
    {
        CloseHandle(process);
        return 3;
    }
    int count = (int)SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0);
    int result = 0;
    for (int at = 0; at < count && result == 0; ++at)
    {
        TBBUTTON button;
        WCHAR text[256];
        SIZE_T done = 0;
        if (!SendMessageW(toolbar, TB_GETBUTTON, at, (LPARAM)remote) ||
            !ReadProcessMemory(process, remote, &button, sizeof(button), &done))
        {
            result = 3;
            break;
        }
        LRESULT length = SendMessageW(toolbar, TB_GETBUTTONTEXTW, button.idCommand, (LPARAM)(remote + 1024));
        memset(text, 0, sizeof(text));
        if (length > 0 && length < 255)
        {
            ReadProcessMemory(process, remote + 1024, text, (SIZE_T)(length + 1) * sizeof(WCHAR), &done);
        }
        int enabled = SendMessageW(toolbar, TB_ISBUTTONENABLED, button.idCommand, 0) != 0;
        printf("%d\t%d\t", button.idCommand, enabled);
        PrintUtf8(text);
        printf("\n");
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return result;
}

/* The tooltip asks the toolbar's parent for the text of a button (TTN_GETDISPINFOW) inside Kavelor's
 * process; the tool description and the text buffer live in a page there. */
static int PrintTooltips(HWND main)
{
    HWND toolbar = FindWindowExW(main, NULL, L"ToolbarWindow32", NULL);
    HWND tips = toolbar != NULL ? (HWND)SendMessageW(toolbar, TB_GETTOOLTIPS, 0, 0) : NULL;
    if (tips == NULL)
    {
        return 2;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(toolbar, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    BYTE* remote = process != NULL ? VirtualAllocEx(process, NULL, 4096, MEM_COMMIT, PAGE_READWRITE) : NULL;
    if (remote == NULL)
    {
        return 3;
    }
    int count = (int)SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0);
    for (int at = 0; at < count; ++at)
    {
        TBBUTTON button;
        SIZE_T done = 0;
        if (!SendMessageW(toolbar, TB_GETBUTTON, at, (LPARAM)remote) ||
            !ReadProcessMemory(process, remote, &button, sizeof(button), &done))
        {
            break;
        }
        WCHAR text[256];
        TTTOOLINFOW tool;
        memset(&tool, 0, sizeof(tool));
        memset(text, 0, sizeof(text));
        tool.cbSize = sizeof(tool);
        tool.hwnd = toolbar;
        tool.uId = (UINT_PTR)button.idCommand;
        tool.lpszText = (LPWSTR)(remote + 1024);
        WriteProcessMemory(process, remote, &tool, sizeof(tool), &done);
        WriteProcessMemory(process, remote + 1024, text, sizeof(text), &done);
        SendMessageW(tips, TTM_GETTEXTW, 255, (LPARAM)remote);
        ReadProcessMemory(process, remote + 1024, text, sizeof(text) - sizeof(WCHAR), &done);
        printf("%d\t", button.idCommand);
        PrintUtf8(text);
        printf("\n");
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return 0;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 2)
    {
        return 64;
    }
    if (wcscmp(argv[1], L"hello") == 0)
    {
        printf("probe runs (%d-bit)\n", (int)sizeof(void*) * 8);
        return 0;
    }
    HWND main = FindWindowW(L"KavelorMainWindow", NULL);
    if (main == NULL)
    {
        return 2;
    }
    const WCHAR* action = argv[1];
    if (wcscmp(action, L"buttons") == 0)
    {
        return PrintButtons(main);
    }
    if (wcscmp(action, L"tooltips") == 0)
    {
        return PrintTooltips(main);
    }
    if (wcscmp(action, L"list") == 0)
    {
        HWND list = FindWindowExW(main, NULL, L"SysListView32", NULL);
        if (list == NULL)
        {
            return 2;
        }
        printf("%lx\t%lx\n", (unsigned long)GetWindowLongW(list, GWL_STYLE),
               (unsigned long)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        return 0;
    }
    if (wcscmp(action, L"command") == 0 && argc > 2)
    {
        return PostMessageW(main, WM_COMMAND, (WPARAM)_wtoi(argv[2]), 0) ? 0 : 2;
    }
    if (wcscmp(action, L"syscommand") == 0 && argc > 2)
    {
        return PostMessageW(main, WM_SYSCOMMAND, (WPARAM)_wtoi(argv[2]), 0) ? 0 : 2;
    }
    if (wcscmp(action, L"visible") == 0)
    {
        printf("%d\n", IsWindowVisible(main) ? 1 : 0);
        return 0;
    }
    HWND about = FindWindowW(L"#32770", kAboutCaption);
    if (wcscmp(action, L"about") == 0)
    {
        if (about == NULL)
        {
            return 2;
        }
        PrintUtf8(kAboutCaption);
        printf("\t%d\n", IsWindowVisible(about) ? 1 : 0);
        return 0;
    }
    if (wcscmp(action, L"close-about") == 0)
    {
        return about != NULL && PostMessageW(about, WM_COMMAND, IDOK, 0) ? 0 : 2;
    }
    return 64;
}
