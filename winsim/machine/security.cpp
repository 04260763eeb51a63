// winsim/machine: the security calls of the administrator test, answered from the machine's token
// (Machine::security). The structures are the platform's: a SID, a security descriptor and an ACL are
// built by the product in memory it allocated, and AccessCheck reads them as Windows does: the DACL's
// access-allowed entries whose SID the token holds grant their mask. Tokens are counted handles (closed
// with CloseHandle); local blocks and SIDs are counted allocations. Checked as Windows checks them: an
// AccessCheck on a primary token fails with ERROR_NO_IMPERSONATION_TOKEN, one on a descriptor without
// owner or group with ERROR_INVALID_SECURITY_DESCR, an ACE that does not fit its ACL with
// ERROR_ALLOTTED_SPACE_EXCEEDED. Freeing what was not allocated, or twice, is a violation.
#include "winsim/machine/machine.h"

#include <cstdlib>
#include <cstring>

using namespace winsim::machine;

namespace
{
// The pseudo handles of the calling process and thread, as Windows defines them.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

bool SidIs(const SID* sid, BYTE authority, DWORD first, DWORD second, BYTE count)
{
    if (sid->SubAuthorityCount != count || sid->IdentifierAuthority.Value[5] != authority)
    {
        return false;
    }
    for (int at = 0; at < 5; ++at)
    {
        if (sid->IdentifierAuthority.Value[at] != 0)
        {
            return false;
        }
    }
    return sid->SubAuthority[0] == first && (count < 2 || sid->SubAuthority[1] == second);
}

// The groups of a token: Everyone and BUILTIN\Users always, BUILTIN\Administrators when it holds it.
bool TokenHolds(bool administrators, const SID* sid)
{
    return SidIs(sid, 1, SECURITY_WORLD_RID, 0, 1) ||
           SidIs(sid, 5, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 2) ||
           (administrators && SidIs(sid, 5, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 2));
}

DWORD SidLength(const SID* sid)
{
    return static_cast<DWORD>(8 + 4 * sid->SubAuthorityCount);
}

const SID* KnownSid(Machine& machine, PSID pSid, const char* call)
{
    if (pSid == nullptr || machine.sids.count(pSid) == 0)
    {
        Violation("%s: %p is not a SID from AllocateAndInitializeSid (or was freed)", call, pSid);
    }
    return static_cast<const SID*>(pSid);
}

Machine::OpenObject& TokenOf(Machine& machine, HANDLE token, const char* call)
{
    Machine::OpenObject* object = machine.LookupHandle(token);
    if (object == nullptr || object->kind != Machine::OpenObject::Kind::Token)
    {
        Violation("%s: %p is not an open token", call, token);
    }
    return *object;
}

HANDLE OpenToken(Machine& machine, bool administrators)
{
    Machine::OpenObject object;
    object.kind = Machine::OpenObject::Kind::Token;
    object.tokenAdministrators = administrators;
    return machine.OpenHandle(std::move(object));
}

void RequireTokenAccess(DWORD access, const char* call)
{
    if ((access & ~(TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY)) != 0 ||
        access == 0)
    {
        Violation("%s: token access 0x%x", call, access);
    }
}
} // namespace

HANDLE WINAPI GetCurrentThread()
{
    return kCurrentThread;
}

HANDLE WINAPI GetCurrentProcess()
{
    return kCurrentProcess;
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    UNREFERENCED_PARAMETER(OpenAsSelf);
    if (ThreadHandle != kCurrentThread || TokenHandle == nullptr)
    {
        Violation(
            "OpenThreadToken: the simulated process has its current thread only, and needs the out handle");
    }
    RequireTokenAccess(DesiredAccess, "OpenThreadToken");
    *TokenHandle = nullptr;
    if (machine.security.failTokenOpen)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!machine.security.threadAdministrators.has_value())
    {
        SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    *TokenHandle = OpenToken(machine, *machine.security.threadAdministrators);
    return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    if (ProcessHandle != kCurrentProcess || TokenHandle == nullptr)
    {
        Violation("OpenProcessToken: the simulated process has itself only, and needs the out handle");
    }
    RequireTokenAccess(DesiredAccess, "OpenProcessToken");
    *TokenHandle = nullptr;
    if (machine.security.failTokenOpen)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *TokenHandle = OpenToken(machine, machine.security.administrators);
    return TRUE;
}

BOOL WINAPI DuplicateToken(HANDLE ExistingTokenHandle, SECURITY_IMPERSONATION_LEVEL ImpersonationLevel,
                           PHANDLE DuplicateTokenHandle)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    Machine::OpenObject& existing = TokenOf(machine, ExistingTokenHandle, "DuplicateToken");
    if (DuplicateTokenHandle == nullptr)
    {
        Violation("DuplicateToken: null out handle");
    }
    Machine::OpenObject copy;
    copy.kind = Machine::OpenObject::Kind::Token;
    copy.tokenAdministrators = existing.tokenAdministrators;
    // Below SecurityImpersonation the copy can identify but not be checked against (AccessCheck fails).
    copy.impersonationToken = ImpersonationLevel >= SecurityImpersonation;
    *DuplicateTokenHandle = machine.OpenHandle(std::move(copy));
    return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    if (pIdentifierAuthority == nullptr || pSid == nullptr)
    {
        Violation("AllocateAndInitializeSid: null authority or out pointer");
    }
    if (nSubAuthorityCount == 0 || nSubAuthorityCount > 8)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD values[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                             nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    SID* sid = static_cast<SID*>(std::calloc(1, 8 + 4 * nSubAuthorityCount));
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = nSubAuthorityCount;
    sid->IdentifierAuthority = *pIdentifierAuthority;
    std::memcpy(sid->SubAuthority, values, 4 * nSubAuthorityCount);
    machine.sids.insert(sid);
    *pSid = sid;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    KnownSid(machine, pSid, "FreeSid");
    machine.sids.erase(pSid);
    std::free(pSid);
    return nullptr;
}

DWORD WINAPI GetLengthSid(PSID pSid)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    return SidLength(KnownSid(machine, pSid, "GetLengthSid"));
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    if ((uFlags & ~LPTR) != 0)
    {
        Violation("LocalAlloc: only fixed memory is simulated (flags 0x%x)", uFlags);
    }
    void* block = std::malloc(uBytes == 0 ? 1 : uBytes);
    std::memset(block, (uFlags & LMEM_ZEROINIT) != 0 ? 0 : 0xCD, uBytes == 0 ? 1 : uBytes);
    machine.localBlocks.insert(block);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    if (hMem == nullptr)
    {
        return nullptr;
    }
    if (machine.localBlocks.erase(hMem) == 0)
    {
        Violation("LocalFree: %p is not a block from LocalAlloc (or was freed)", hMem);
    }
    std::free(hMem);
    return nullptr;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (pSecurityDescriptor == nullptr)
    {
        Violation("InitializeSecurityDescriptor: null descriptor");
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION)
    {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    SECURITY_DESCRIPTOR* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision)
{
    if (pAcl == nullptr)
    {
        Violation("InitializeAcl: null ACL");
    }
    if (nAclLength < sizeof(ACL) || nAclLength > 0xFFFF || (nAclLength & 3) != 0 ||
        dwAclRevision != ACL_REVISION2)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pAcl->AclRevision = static_cast<BYTE>(dwAclRevision);
    pAcl->Sbz1 = 0;
    pAcl->AclSize = static_cast<WORD>(nAclLength);
    pAcl->AceCount = 0;
    pAcl->Sbz2 = 0;
    return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const SID* sid = KnownSid(machine, pSid, "AddAccessAllowedAce");
    if (pAcl == nullptr || pAcl->AclRevision != ACL_REVISION2 || dwAceRevision != ACL_REVISION2)
    {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    // Entries follow the header back to back; the new one goes after the last.
    BYTE* base = reinterpret_cast<BYTE*>(pAcl);
    size_t used = sizeof(ACL);
    for (WORD at = 0; at < pAcl->AceCount; ++at)
    {
        used += reinterpret_cast<const ACE_HEADER*>(base + used)->AceSize;
    }
    size_t aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SidLength(sid);
    if (used + aceSize > pAcl->AclSize)
    {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(base + used);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = static_cast<WORD>(aceSize);
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, sid, SidLength(sid));
    ++pAcl->AceCount;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted)
{
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION)
    {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    descriptor->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    descriptor->Control |=
        static_cast<WORD>((bDaclPresent ? SE_DACL_PRESENT : 0) | (bDaclDefaulted ? SE_DACL_DEFAULTED : 0));
    descriptor->Dacl = bDaclPresent ? pDacl : nullptr;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup,
                                       BOOL bGroupDefaulted)
{
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION)
    {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    descriptor->Group = pGroup;
    descriptor->Control = static_cast<WORD>((descriptor->Control & ~SE_GROUP_DEFAULTED) |
                                            (bGroupDefaulted ? SE_GROUP_DEFAULTED : 0));
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner,
                                       BOOL bOwnerDefaulted)
{
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION)
    {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    descriptor->Owner = pOwner;
    descriptor->Control = static_cast<WORD>((descriptor->Control & ~SE_OWNER_DEFAULTED) |
                                            (bOwnerDefaulted ? SE_OWNER_DEFAULTED : 0));
    return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    return descriptor != nullptr && descriptor->Revision == SECURITY_DESCRIPTOR_REVISION;
}

BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR pSecurityDescriptor, HANDLE ClientToken, DWORD DesiredAccess,
                        PGENERIC_MAPPING GenericMapping, PPRIVILEGE_SET PrivilegeSet,
                        LPDWORD PrivilegeSetLength, LPDWORD GrantedAccess, LPBOOL AccessStatus)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    Machine::OpenObject& token = TokenOf(machine, ClientToken, "AccessCheck");
    if (GenericMapping == nullptr || PrivilegeSetLength == nullptr || GrantedAccess == nullptr ||
        AccessStatus == nullptr)
    {
        Violation("AccessCheck: null mapping, privilege-set length or output");
    }
    if (!token.impersonationToken)
    {
        SetLastError(ERROR_NO_IMPERSONATION_TOKEN);
        return FALSE;
    }
    auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (!IsValidSecurityDescriptor(pSecurityDescriptor) || descriptor->Owner == nullptr ||
        descriptor->Group == nullptr)
    {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    if (*PrivilegeSetLength < sizeof(PRIVILEGE_SET) || PrivilegeSet == nullptr)
    {
        *PrivilegeSetLength = sizeof(PRIVILEGE_SET);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PrivilegeSet->PrivilegeCount = 0;
    PrivilegeSet->Control = 0;
    DWORD granted = 0;
    if ((descriptor->Control & SE_DACL_PRESENT) == 0 || descriptor->Dacl == nullptr)
    {
        granted = DesiredAccess; // no DACL: everyone is granted everything
    }
    else
    {
        const BYTE* base = reinterpret_cast<const BYTE*>(descriptor->Dacl);
        size_t at = sizeof(ACL);
        for (WORD index = 0; index < descriptor->Dacl->AceCount; ++index)
        {
            const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(base + at);
            if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                TokenHolds(token.tokenAdministrators, reinterpret_cast<const SID*>(&ace->SidStart)))
            {
                granted |= ace->Mask;
            }
            at += ace->Header.AceSize;
        }
    }
    granted &= DesiredAccess;
    *GrantedAccess = granted == DesiredAccess ? granted : 0;
    *AccessStatus = granted == DesiredAccess && DesiredAccess != 0;
    if (!*AccessStatus)
    {
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return TRUE;
}
