// winsim/machine: GetVolumeNameForVolumeMountPointW over the machine's volumes. A mount point is a drive
// root ("E:\"), a volume GUID path or a volume interface path, each ending in a backslash (a missing one
// is misuse, as Windows documents). The answer is the volume GUID path with its trailing backslash; a
// buffer that cannot hold it fails with ERROR_FILENAME_EXCED_RANGE.
#include "winsim/machine/machine.h"

#include <cstring>

using namespace winsim::machine;

BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                              DWORD cchBufferLength)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    if (lpszVolumeMountPoint == nullptr || lpszVolumeName == nullptr)
    {
        Violation("GetVolumeNameForVolumeMountPointW: null argument");
    }
    WString mountPoint(lpszVolumeMountPoint);
    if (mountPoint.empty() || mountPoint.back() != u'\\')
    {
        Violation("GetVolumeNameForVolumeMountPointW: mount point '%s' lacks its trailing backslash",
                  Narrow(mountPoint).c_str());
    }
    Volume* volume = nullptr;
    WString answer;
    if (mountPoint.size() == 3 && mountPoint[1] == u':')
    {
        volume = machine.VolumeByLetter(Upper(mountPoint.substr(0, 1))[0]);
    }
    else
    {
        volume = machine.VolumeByInterfacePath(mountPoint.substr(0, mountPoint.size() - 1));
        if (volume != nullptr)
        {
            answer = volume->guidPathViaInterface.value_or(WString());
        }
        for (const auto& candidate : machine.Volumes())
        {
            if (volume == nullptr && candidate->devNode->present &&
                EqualNoCase(candidate->guidPath, mountPoint))
            {
                volume = candidate.get();
            }
        }
    }
    if (volume == nullptr)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (answer.empty())
    {
        answer = volume->guidPath;
    }
    if (cchBufferLength < answer.size() + 1)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::memcpy(lpszVolumeName, answer.c_str(), (answer.size() + 1) * sizeof(WCHAR));
    return TRUE;
}
