// Volume enumeration (see VolumeEnumerate.h).
#include "enumlib/VolumeEnumerate.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/DeviceInfoSet.h"

#include <setupapi.h>

#include <algorithm>
#include <vector>

namespace Kavelor
{
namespace
{
// GUID_DEVINTERFACE_VOLUME
const GUID VOLUME_INTERFACE = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

const DWORD VOLUME_NAME_CHARS = 260;

// The volume GUID path behind a mount point; empty when the call does not answer exactly TRUE.
WString VolumeNameOf(const WString& mountPoint)
{
    WCHAR name[VOLUME_NAME_CHARS] = {};
    if (GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), name, VOLUME_NAME_CHARS) != TRUE)
    {
        return WString();
    }
    return TextInBuffer(name, VOLUME_NAME_CHARS);
}
} // namespace

CVolumeEnumerate::CVolumeEnumerate(CVolumeEnumerateList* pVolumes) : m_pVolumes(pVolumes) {}

CVolumeEnumerate::~CVolumeEnumerate() = default;

WString CVolumeEnumerate::FormatDriveRoot(WCHAR chLetter)
{
    const WCHAR root[] = {chLetter, ':', '\\', 0};
    return WString(root);
}

void CVolumeEnumerate::Enumerate()
{
    m_pVolumes->clear();
    EnumerateDriveLetters();
    MatchVolumeInterfaces();
}

void CVolumeEnumerate::EnumerateDriveLetters()
{
    for (int i = 0; i < 26; ++i)
    {
        WCHAR letter = static_cast<WCHAR>('A' + i);
        WString name = VolumeNameOf(FormatDriveRoot(letter));
        if (!name.empty())
        {
            CVolumeEnumerateData volume;
            volume.chDriveLetter = letter;
            volume.strVolumeName = name;
            m_pVolumes->push_back(volume);
        }
    }
}

void CVolumeEnumerate::MatchVolumeInterfaces()
{
    CDeviceInfoSet volumes(
        SetupDiGetClassDevsW(&VOLUME_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!volumes.IsOpen())
    {
        return;
    }
    HDEVINFO set = volumes.Get();
    for (DWORD index = 0;; ++index)
    {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &VOLUME_INTERFACE, index, &interfaceData))
        {
            break;
        }
        SP_DEVINFO_DATA deviceData = {};
        deviceData.cbSize = sizeof deviceData;
        WString path;
        if (!volumes.GetInterfacePath(&interfaceData, path, &deviceData))
        {
            continue;
        }
        path += TEXT("\\");
        WString name = VolumeNameOf(path);
        if (name.empty())
        {
            continue;
        }
        WString instanceId;
        bool haveId = GetDeviceInstanceId(deviceData.DevInst, instanceId);
        for (CVolumeEnumerateData& volume : *m_pVolumes)
        {
            if (EqualsNoCase(volume.strVolumeName, name))
            {
                volume.strInterfacePath = path;
                if (haveId)
                {
                    volume.strDeviceInstanceId = instanceId;
                }
            }
        }
    }
}
} // namespace Kavelor
