// winsim: the run-time library's string and memory routines and the version queries. The simulated
// Windows version is a test knob (default Windows 7 SP1, build 7601), and so is whether the system
// exports RtlIsNtDdiVersionAvailable to MmGetSystemRoutineAddress, as systems before Windows 7 did not.
// Checks: string routines and version queries above the IRQL at which Windows allows them.
#include "winsim/kernel/kernel_state.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

namespace winsim
{
namespace
{

struct VersionState
{
    std::mutex lock;
    ULONG major = 6;
    ULONG minor = 1;
    ULONG build = 7601;
    ULONG servicePack = 1;
    bool exported = true;
};

VersionState& Version()
{
    static VersionState state;
    return state;
}

detail::ResetHook g_reset(50, [] {
    auto& version = Version();
    std::lock_guard<std::mutex> lock(version.lock);
    version.major = 6;
    version.minor = 1;
    version.build = 7601;
    version.servicePack = 1;
    version.exported = true;
});

// Case folding of the characters that matter to device and enumerator names; the full table is
// Windows' business and not needed for ASCII identifiers.
WCHAR Upcase(WCHAR c)
{
    if (c >= u'a' && c <= u'z')
    {
        return WCHAR(c - u'a' + u'A');
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    {
        return WCHAR(c - 0x20);
    }
    return c;
}

} // namespace

void SetOsVersion(ULONG major, ULONG minor, ULONG build, ULONG servicePack)
{
    auto& version = Version();
    std::lock_guard<std::mutex> lock(version.lock);
    version.major = major;
    version.minor = minor;
    version.build = build;
    version.servicePack = servicePack;
}

void ExportRtlIsNtDdiVersionAvailable(bool exported)
{
    auto& version = Version();
    std::lock_guard<std::mutex> lock(version.lock);
    version.exported = exported;
}

} // namespace winsim

using winsim::detail::BugCheck;

extern "C"
{

    SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
    {
        auto* a = static_cast<const UCHAR*>(Source1);
        auto* b = static_cast<const UCHAR*>(Source2);
        SIZE_T i = 0;
        while (i < Length && a[i] == b[i])
        {
            ++i;
        }
        return i;
    }

    // The length is counted in bytes and must fit the 16-bit field, as Windows requires.
    VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
    {
        if (SourceString == nullptr)
        {
            DestinationString->Length = DestinationString->MaximumLength = 0;
            DestinationString->Buffer = nullptr;
            return;
        }
        size_t length = 0;
        while (SourceString[length] != 0)
        {
            ++length;
        }
        if ((length + 1) * sizeof(WCHAR) > 0xFFFE)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                     "RtlInitUnicodeString on a string too long for UNICODE_STRING", 0x1020, length);
        }
        DestinationString->Length = USHORT(length * sizeof(WCHAR));
        DestinationString->MaximumLength = USHORT((length + 1) * sizeof(WCHAR));
        DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    }

    WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
    {
        return winsim::Upcase(SourceCharacter);
    }

    // Paged code on Windows: callers must be at PASSIVE_LEVEL or APC_LEVEL.
    LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
    {
        if (KeGetCurrentIrql() > APC_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "RtlCompareUnicodeString above APC_LEVEL", KeGetCurrentIrql());
        }
        const size_t n1 = String1->Length / sizeof(WCHAR);
        const size_t n2 = String2->Length / sizeof(WCHAR);
        for (size_t i = 0; i < n1 && i < n2; ++i)
        {
            WCHAR a = String1->Buffer[i];
            WCHAR b = String2->Buffer[i];
            if (CaseInSensitive)
            {
                a = winsim::Upcase(a);
                b = winsim::Upcase(b);
            }
            if (a != b)
            {
                return LONG(a) - LONG(b);
            }
        }
        return LONG(n1) - LONG(n2);
    }

    BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
    {
        return String1->Length == String2->Length &&
               RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
    }

    VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
    {
        if (SourceString == nullptr)
        {
            DestinationString->Length = 0;
            return;
        }
        const USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                                 ? SourceString->Length
                                 : DestinationString->MaximumLength;
        std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
        DestinationString->Length = bytes;
        if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        {
            DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
        }
    }

    NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
    {
        auto& version = winsim::Version();
        std::lock_guard<std::mutex> lock(version.lock);
        lpVersionInformation->dwMajorVersion = version.major;
        lpVersionInformation->dwMinorVersion = version.minor;
        lpVersionInformation->dwBuildNumber = version.build;
        lpVersionInformation->dwPlatformId = 2;
        std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
        if (version.servicePack != 0)
        {
            const std::u16string text =
                u"Service Pack " + std::u16string(1, char16_t(u'0' + version.servicePack % 10));
            std::memcpy(lpVersionInformation->szCSDVersion, text.data(), text.size() * sizeof(WCHAR));
        }
        return STATUS_SUCCESS;
    }

    // NTDDI value: major in bits 24-31, minor in 16-23, service pack in 8-15.
    BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version)
    {
        auto& version = winsim::Version();
        std::lock_guard<std::mutex> lock(version.lock);
        const ULONG current = (version.major << 24) | (version.minor << 16) | (version.servicePack << 8);
        return Version <= current ? TRUE : FALSE;
    }

    // Reports whether the system is a checked build; the simulation is a free build. The service-pack text
    // is not supplied (the product passes no buffer).
    BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                         PUNICODE_STRING CSDVersion)
    {
        auto& version = winsim::Version();
        std::lock_guard<std::mutex> lock(version.lock);
        if (MajorVersion != nullptr)
        {
            *MajorVersion = version.major;
        }
        if (MinorVersion != nullptr)
        {
            *MinorVersion = version.minor;
        }
        if (BuildNumber != nullptr)
        {
            *BuildNumber = version.build;
        }
        if (CSDVersion != nullptr)
        {
            CSDVersion->Length = 0;
        }
        return FALSE;
    }

    // Only the routine the product looks up by name is exported, and only when the simulated system has it.
    PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
    {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "MmGetSystemRoutineAddress above PASSIVE_LEVEL",
                     KeGetCurrentIrql());
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"RtlIsNtDdiVersionAvailable");
        if (RtlCompareUnicodeString(SystemRoutineName, &name, FALSE) != 0)
        {
            return nullptr;
        }
        auto& version = winsim::Version();
        std::lock_guard<std::mutex> lock(version.lock);
        return version.exported ? reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable) : nullptr;
    }

} // extern "C"
