// The class installer's restart of a device node (see DeviceRestart.h).
#include "regtool/DeviceRestart.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/DeviceInfoSet.h"

namespace Kavelor
{
bool FindDeviceInfo(DEVINST dnDevInst, BOOL bPresentOnly, HDEVINFO& hDevInfo, SP_DEVINFO_DATA& devInfoData)
{
    WString id;
    GetDeviceInstanceId(dnDevInst, id);
    DWORD flags = bPresentOnly ? (DIGCF_PRESENT | DIGCF_ALLCLASSES) : DIGCF_ALLCLASSES;
    CDeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, flags));
    if (!set.IsOpen())
    {
        return false;
    }
    for (DWORD index = 0;; ++index)
    {
        SP_DEVINFO_DATA element = {};
        element.cbSize = sizeof element;
        if (!SetupDiEnumDeviceInfo(set.Get(), index, &element))
        {
            return false;
        }
        bool taken = false;
        if (!id.empty())
        {
            WString elementId;
            GetDeviceInstanceId(element.DevInst, elementId);
            taken = EqualsNoCase(elementId, id);
        }
        else
        {
            taken = element.DevInst == dnDevInst;
        }
        if (taken)
        {
            devInfoData = element;
            hDevInfo = set.Detach();
            return true;
        }
    }
}

bool RestartDevice(DEVINST dnDevInst, DWORD dwScope, DWORD dwStateChange, int& needRestart)
{
    HDEVINFO hDevInfo = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA devInfoData = {};
    if (!FindDeviceInfo(dnDevInst, TRUE, hDevInfo, devInfoData))
    {
        return false;
    }
    CDeviceInfoSet set(hDevInfo);

    SP_PROPCHANGE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = dwStateChange;
    params.Scope = dwScope;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set.Get(), &devInfoData, &params.ClassInstallHeader, sizeof params) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.Get(), &devInfoData))
    {
        return false;
    }
    SP_DEVINSTALL_PARAMS_W installParams = {};
    installParams.cbSize = sizeof installParams;
    if (SetupDiGetDeviceInstallParamsW(set.Get(), &devInfoData, &installParams) &&
        (installParams.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0)
    {
        needRestart = 1;
    }
    return true;
}
} // namespace Kavelor
