// The administrator test (see AdminCheck.h). Every token, block and SID it takes is owned by an object
// that gives it back on every path.
#include "regtool/AdminCheck.h"

#include <windows.h>

namespace Kavelor
{
namespace
{
// An open token handle.
class CTokenHandle
{
public:
    CTokenHandle() = default;
    ~CTokenHandle() { Close(); }
    CTokenHandle(const CTokenHandle&) = delete;
    CTokenHandle& operator=(const CTokenHandle&) = delete;
    HANDLE* Out() { return &m_hToken; }
    HANDLE Get() const { return m_hToken; }
    bool IsOpen() const { return m_hToken != nullptr; }
    void Close()
    {
        if (m_hToken != nullptr && CloseHandle(m_hToken))
        {
            m_hToken = nullptr;
        }
    }

private:
    HANDLE m_hToken = nullptr;
};

// A block from LocalAlloc.
class CLocalBlock
{
public:
    explicit CLocalBlock(SIZE_T cbSize) : m_hBlock(LocalAlloc(LMEM_ZEROINIT, cbSize)) {}
    ~CLocalBlock() { LocalFree(m_hBlock); }
    CLocalBlock(const CLocalBlock&) = delete;
    CLocalBlock& operator=(const CLocalBlock&) = delete;
    void* Get() const { return m_hBlock; }

private:
    HLOCAL m_hBlock;
};

// A SID from AllocateAndInitializeSid.
class CSid
{
public:
    CSid() = default;
    ~CSid()
    {
        if (m_pSid != nullptr)
        {
            FreeSid(m_pSid);
        }
    }
    CSid(const CSid&) = delete;
    CSid& operator=(const CSid&) = delete;
    PSID* Out() { return &m_pSid; }
    PSID Get() const { return m_pSid; }

private:
    PSID m_pSid = nullptr;
};

// The token to check: the thread's when it impersonates, else the process's; as an impersonation copy,
// which AccessCheck needs.
bool OpenImpersonationToken(CTokenHandle& impersonation)
{
    CTokenHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY, TRUE, token.Out()))
    {
        if (GetLastError() != ERROR_NO_TOKEN ||
            !OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, token.Out()))
        {
            return false;
        }
    }
    bool duplicated = DuplicateToken(token.Get(), SecurityImpersonation, impersonation.Out()) != FALSE;
    token.Close();
    return duplicated && impersonation.IsOpen();
}
} // namespace

bool IsAdmin()
{
    CTokenHandle impersonation;
    if (!OpenImpersonationToken(impersonation))
    {
        return false;
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    CSid administrators;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, administrators.Out()))
    {
        return false;
    }

    CLocalBlock descriptor(SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor.Get() == nullptr ||
        !InitializeSecurityDescriptor(descriptor.Get(), SECURITY_DESCRIPTOR_REVISION))
    {
        return false;
    }

    // One access-allowed entry: the ACL header, the entry without its SidStart placeholder, and the SID.
    const DWORD aclSize = GetLengthSid(administrators.Get()) + 16;
    CLocalBlock acl(aclSize);
    PACL pAcl = static_cast<PACL>(acl.Get());
    const DWORD ACCESS_READ = 1;
    const DWORD ACCESS_WRITE = 2;
    if (pAcl == nullptr || !InitializeAcl(pAcl, aclSize, ACL_REVISION2) ||
        !AddAccessAllowedAce(pAcl, ACL_REVISION2, ACCESS_READ | ACCESS_WRITE, administrators.Get()) ||
        !SetSecurityDescriptorDacl(descriptor.Get(), TRUE, pAcl, FALSE))
    {
        return false;
    }
    // AccessCheck refuses a descriptor without owner and group.
    SetSecurityDescriptorGroup(descriptor.Get(), administrators.Get(), FALSE);
    SetSecurityDescriptorOwner(descriptor.Get(), administrators.Get(), FALSE);
    if (!IsValidSecurityDescriptor(descriptor.Get()))
    {
        return false;
    }

    GENERIC_MAPPING mapping = {ACCESS_READ, ACCESS_WRITE, 0, ACCESS_READ | ACCESS_WRITE};
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!AccessCheck(descriptor.Get(), impersonation.Get(), ACCESS_READ, &mapping, &privileges,
                     &privilegesSize, &granted, &status))
    {
        return false;
    }
    return status != FALSE;
}
} // namespace Kavelor
