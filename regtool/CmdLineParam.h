// Kavset's command line and its commands. The command line is a switch ("/" or "-" and the word "Reg"
// or "Unreg", any case of A to Z) and the device instance ID of one USB device; the last switch decides
// the command, and arguments count only after a recognised switch. Each command enumerates the supported
// USB mass-storage devices, finds the device by the instance ID of any of its nodes, changes the registry
// and restarts the device; the outcome is the exit code, Kavset's only output. The product's uninstaller
// adds a third switch without arguments, "Uninstall": the filter off every device node of the machine,
// so that the Kavfiltr service can be deleted without leaving a device that no longer starts.
#pragma once

#include "enumlib/EnumerateData.h"
#include "enumlib/WideString.h"

#include <windows.h>

#include <vector>

namespace Kavelor
{
// Exit codes: the contract with the tray application.
const int EXIT_OK = 0;
const int EXIT_NO_COMMAND = 1;
const int EXIT_NOT_ADMIN = 2;
const int EXIT_RESTART_PENDING = 3; // the registry holds the change; the restart failed or is pending
const int EXIT_REG_FAILED = 10;
const int EXIT_UNREG_FAILED = 20;
// "Uninstall": a device node may still name the filter (or arguments were given); the service must stay.
const int EXIT_UNINSTALL_FAILED = 30;

const int CMD_NONE = 0;
const int CMD_REG = 1;
const int CMD_UNREG = 2;
const int CMD_UNINSTALL = 3;

struct CMDLINE_OPTION
{
    int nMode;
    const WCHAR* pszWord;
};

// The switches, searched in order; the row with mode 0 ends the table.
extern const CMDLINE_OPTION g_options[];

// The first device of the list one of whose nodes has the instance ID (case of A to Z ignored), copied
// whole into record.
bool FindDeviceById(const WString& strId, const CUSBEnumerateExList& devices, CUSBEnumerateExData& record);

class CCmdLineParam
{
public:
    CCmdLineParam();
    virtual ~CCmdLineParam();

    // From the runtime's argument vector (__argc, __wargv), Kavset's own path included.
    void Parse();
    void Parse(int argc, const WCHAR* const* argv);
    int DoReg();
    int DoUnreg();
    // 0 when no device node names the filter any more and every restart completed, 3 when a restart is
    // still pending, 30 when a node could not be cleaned.
    int DoUninstall();

    int m_mode;
    std::vector<WString> m_params;

private:
    bool FindTarget(CUSBEnumerateExData& record) const;
};

// The main sequence: the administrator test, the command line, the command; returns the exit code.
int KavsetMain();
} // namespace Kavelor
