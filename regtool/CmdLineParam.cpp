// Kavset's command line and commands (see CmdLineParam.h). Like devcon: walk, then act.
#include "regtool/CmdLineParam.h"

#include "regtool/AdminCheck.h"
#include "regtool/DeviceFilter.h"
#include "regtool/DeviceRestart.h"
#include "regtool/FilterRemoval.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"

#include <windows.h>
#include <setupapi.h>
#include <stdlib.h>

#include <list>
#include <new>

namespace Kavelor
{
const CMDLINE_OPTION g_options[] = {
    {CMD_REG, TEXT("Reg")},
    {CMD_UNREG, TEXT("Unreg")},
    {CMD_UNINSTALL, TEXT("Uninstall")},
    {CMD_NONE, nullptr},
};

namespace
{
// The property change on the USB device node; 0 when it took effect, else 3.
int Restart(const CUSBEnumerateExData& record)
{
    int needRestart = 0;
    bool restarted =
        RestartDevice(record.treeDevice.data.dnDevInst, DICS_FLAG_GLOBAL, DICS_PROPCHANGE, needRestart);
    return restarted && needRestart == 0 ? EXIT_OK : EXIT_RESTART_PENDING;
}
} // namespace

bool FindDeviceById(const WString& strId, const CUSBEnumerateExList& devices, CUSBEnumerateExData& record)
{
    for (const CUSBEnumerateExData& device : devices)
    {
        for (const CUSBEnumerateExTree* node = &device.treeDevice; node != nullptr;
             node = node->NextPreOrder())
        {
            if (EqualsNoCase(node->data.strDeviceInstanceId, strId))
            {
                record = device;
                return true;
            }
        }
    }
    return false;
}

CCmdLineParam::CCmdLineParam() : m_mode(CMD_NONE) {}

CCmdLineParam::~CCmdLineParam() = default;

void CCmdLineParam::Parse()
{
    Parse(__argc, __wargv);
}

void CCmdLineParam::Parse(int argc, const WCHAR* const* argv)
{
    for (int at = 0; at < argc && argv != nullptr && argv[at] != nullptr; ++at)
    {
        WString argument = argv[at];
        if (!argument.empty() && (argument[0] == '-' || argument[0] == '/'))
        {
            WString word = argument.substr(1);
            m_mode = CMD_NONE;
            for (const CMDLINE_OPTION* option = g_options; option->nMode != CMD_NONE; ++option)
            {
                if (EqualsNoCase(word, option->pszWord))
                {
                    m_mode = option->nMode;
                    break;
                }
            }
        }
        else if (m_mode != CMD_NONE)
        {
            m_params.push_back(argument);
        }
    }
}

// Exactly one ID, and a device among the supported USB mass-storage devices present now that has a node
// with that ID. The device list and the enumerator are gone again when this returns.
bool CCmdLineParam::FindTarget(CUSBEnumerateExData& record) const
{
    if (m_params.size() != 1)
    {
        return false;
    }
    CUSBEnumerateExList devices;
    CUSBEnumerateEx enumerator(&devices);
    enumerator.m_bTargetOnly = TRUE;
    enumerator.Enumerate();
    return FindDeviceById(m_params[0], devices, record);
}

int CCmdLineParam::DoReg()
{
    CUSBEnumerateExData record;
    if (!FindTarget(record))
    {
        return EXIT_REG_FAILED;
    }
    if (EnableDeviceFilter(record) == FILTER_OK)
    {
        return Restart(record);
    }
    // Take the USB device node back, so the device is not left half enabled: a storage node that refused
    // its entry leaves the lower-filter entry and the marker behind, and a lower-filter list that could not
    // be written leaves the marker on a device that is off, where nothing else would ever remove it.
    // Entries already on storage nodes stay; the name the node had before the marker is gone either way.
    if (!IsSupportedDevice(record))
    {
        return EXIT_REG_FAILED;
    }
    if (IsMassStorageDevice(record))
    {
        DisableLowerFilter(record.treeDevice.data.dnDevInst);
    }
    return EXIT_REG_FAILED;
}

int CCmdLineParam::DoUnreg()
{
    CUSBEnumerateExData record;
    if (!FindTarget(record))
    {
        return EXIT_UNREG_FAILED;
    }
    if (!IsSupportedDevice(record) || !IsMassStorageDevice(record))
    {
        return EXIT_UNREG_FAILED;
    }
    // Also on a device that reads as off: a marker left by a Reg that failed halfway, or an entry without
    // its marker, is taken away, and a device that is already clean is only read. A lower-filter list that
    // cannot be read fails here too: success would leave Kavfiltr in the stack while the caller is told it
    // is gone.
    if (DisableLowerFilter(record.treeDevice.data.dnDevInst) != FILTER_OK)
    {
        return EXIT_UNREG_FAILED;
    }
    return Restart(record);
}

int CCmdLineParam::DoUninstall()
{
    // An ID after the switch means the caller wanted Unreg: nothing is touched.
    if (!m_params.empty())
    {
        return EXIT_UNINSTALL_FAILED;
    }
    switch (RemoveFilterFromAllDevices())
    {
    case REMOVAL_OK:
        return EXIT_OK;
    case REMOVAL_RESTART_PENDING:
        return EXIT_RESTART_PENDING;
    default:
        return EXIT_UNINSTALL_FAILED;
    }
}

int KavsetMain()
{
    if (!IsAdmin())
    {
        return EXIT_NOT_ADMIN;
    }
    CCmdLineParam param;
    // Out of memory must not end the process by abort, whose code 3 would read as "restart pending":
    // the command simply failed.
    try
    {
        param.Parse();
        switch (param.m_mode)
        {
        case CMD_REG:
            return param.DoReg();
        case CMD_UNREG:
            return param.DoUnreg();
        case CMD_UNINSTALL:
            return param.DoUninstall();
        default:
            return EXIT_NO_COMMAND;
        }
    }
    catch (const std::bad_alloc&)
    {
        switch (param.m_mode)
        {
        case CMD_REG:
            return EXIT_REG_FAILED;
        case CMD_UNREG:
            return EXIT_UNREG_FAILED;
        case CMD_UNINSTALL:
            return EXIT_UNINSTALL_FAILED;
        default:
            return EXIT_NO_COMMAND;
        }
    }
}
} // namespace Kavelor
