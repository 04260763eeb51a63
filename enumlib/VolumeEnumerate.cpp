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
    std::vector<BYTE> buffer;
    for (DWORD index = 0;; ++index)
    {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &VOLUME_INTERFACE, index, &interfaceData))
        {
            break;
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required == 0)
        {
            continue;
        }
        size_t size = std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        if (buffer.size() < size)
        {
            buffer.resize(size);
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA deviceData = {};
        deviceData.cbSize = sizeof deviceData;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr, &deviceData))
        {
            continue;
        }
        size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        WString path = TextInBuffer(detail->DevicePath, (required - pathOffset) / sizeof(WCHAR)) + TEXT("\\");
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
