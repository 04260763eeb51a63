// CVolumeEnumerate: the drive letters that name a volume, each tied to the device node of its volume
// device through the volume device interface. Nothing is reported; a letter or interface that cannot be
// read is left out or left unmatched.
#pragma once

#include "enumlib/EnumerateData.h"

namespace Kavelor
{
class CVolumeEnumerate
{
public:
    explicit CVolumeEnumerate(CVolumeEnumerateList* pVolumes);
    virtual ~CVolumeEnumerate();

    // Empties the list, then lists the letters and matches the volume interfaces.
    virtual void Enumerate();
    void EnumerateDriveLetters();
    void MatchVolumeInterfaces();

    // "E:\" for E: the root directory of a drive.
    static WString FormatDriveRoot(WCHAR chLetter);

protected:
    CVolumeEnumerateList* m_pVolumes;
};
} // namespace Kavelor
