// The simulated process around Kavset: the runtime's split of the command line by the Windows rules, the
// token and the access check answered as Windows answers them (and misuse that Windows refuses refused
// here too), the property-write log, and the machine-description knobs for volumes in use, the user's
// rights and the class installer's flags.
#include "winsim/machine/machine.h"
#include "winsim/machine/machine_json.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <gtest/gtest.h>

namespace
{
using namespace winsim::machine;

TEST(CommandLine, SplitFollowsTheWindowsRules)
{
    struct Case
    {
        const char16_t* line;
        std::vector<WString> arguments;
    } cases[] = {
        {u"Kavset.exe", {u"Kavset.exe"}},
        {u"Kavset.exe  /Reg\tID ", {u"Kavset.exe", u"/Reg", u"ID"}},
        {u"\"C:\\Program Files\\Kavset.exe\" /Reg", {u"C:\\Program Files\\Kavset.exe", u"/Reg"}},
        {u"C:\\a\\\"b c\" d", {u"C:\\a\\\"b", u"c d"}}, // the program name takes no escapes
        {u"x \"a b\" c\"d e\"f", {u"x", u"a b", u"cd ef"}},
        {u"x a\\\\\"b c\" d", {u"x", u"a\\b c", u"d"}}, // 2n backslashes: n, and the quote groups
        {u"x a\\\\\\\"b c", {u"x", u"a\\\"b", u"c"}},   // 2n+1: n and a literal quote
        {u"x a\\b\\\\c", {u"x", u"a\\b\\\\c"}},         // backslashes before no quote are literal
        {u"x \"a\"\"b\" c", {u"x", u"a\"b", u"c"}},     // "" inside quotes is a quote
        {u"x \"\"", {u"x", u""}},
        {u"x \"open ended", {u"x", u"open ended"}},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << Narrow(c.line);
    }
    {
        ScopedCommandLine installed(u"Kavset.exe /Reg \"A B\"");
        ASSERT_EQ(__argc, 3);
        EXPECT_EQ(WString(__wargv[2]), u"A B");
        EXPECT_EQ(__wargv[3], nullptr);
    }
    EXPECT_EQ(__argc, 0);
}

class TokenTest : public ::testing::Test
{
protected:
    TokenTest() : scope_(machine_) {}

    // A descriptor granting read and write to the SID, owner and group set unless told otherwise.
    void Build(bool ownerAndGroup)
    {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                             0, 0, 0, 0, 0, &sid_));
        EXPECT_EQ(GetLengthSid(sid_), 16u);
        descriptor_ = LocalAlloc(LMEM_ZEROINIT, SECURITY_DESCRIPTOR_MIN_LENGTH);
        ASSERT_TRUE(InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION));
        acl_ = static_cast<PACL>(LocalAlloc(LMEM_ZEROINIT, 32));
        ASSERT_TRUE(InitializeAcl(acl_, 32, ACL_REVISION2));
        ASSERT_TRUE(AddAccessAllowedAce(acl_, ACL_REVISION2, 3, sid_));
        SetLastError(0);
        EXPECT_FALSE(AddAccessAllowedAce(acl_, ACL_REVISION2, 3, sid_)) << "a second entry does not fit";
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALLOTTED_SPACE_EXCEEDED));
        ASSERT_TRUE(SetSecurityDescriptorDacl(descriptor_, TRUE, acl_, FALSE));
        if (ownerAndGroup)
        {
            SetSecurityDescriptorOwner(descriptor_, sid_, FALSE);
            SetSecurityDescriptorGroup(descriptor_, sid_, FALSE);
        }
    }

    void Free()
    {
        LocalFree(acl_);
        LocalFree(descriptor_);
        FreeSid(sid_);
    }

    // AccessCheck's own result, and the access status through status.
    BOOL Check(HANDLE token, BOOL* status)
    {
        GENERIC_MAPPING mapping = {1, 2, 0, 3};
        PRIVILEGE_SET privileges = {};
        DWORD length = sizeof privileges;
        DWORD granted = 0;
        return AccessCheck(descriptor_, token, 1, &mapping, &privileges, &length, &granted, status);
    }

    Machine machine_;
    ScopedMachine scope_;
    PSID sid_ = nullptr;
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    PACL acl_ = nullptr;
};

TEST_F(TokenTest, AccessCheckGrantsByGroupAndRefusesWhatWindowsRefuses)
{
    Build(true);
    HANDLE thread = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, &thread));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
    HANDLE primary = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &primary));
    BOOL status = TRUE;
    EXPECT_FALSE(Check(primary, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_IMPERSONATION_TOKEN));

    HANDLE impersonation = nullptr;
    ASSERT_TRUE(DuplicateToken(primary, SecurityImpersonation, &impersonation));
    ASSERT_TRUE(Check(impersonation, &status));
    EXPECT_TRUE(status);
    CloseHandle(impersonation);

    machine_.security.administrators = false;
    CloseHandle(primary);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &primary));
    ASSERT_TRUE(DuplicateToken(primary, SecurityImpersonation, &impersonation));
    ASSERT_TRUE(Check(impersonation, &status));
    EXPECT_FALSE(status);
    CloseHandle(impersonation);
    CloseHandle(primary);
    Free();
}

TEST_F(TokenTest, ADescriptorWithoutOwnerAndGroupIsInvalidForTheCheck)
{
    Build(false);
    HANDLE primary = nullptr;
    HANDLE impersonation = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &primary));
    ASSERT_TRUE(DuplicateToken(primary, SecurityImpersonation, &impersonation));
    BOOL status = TRUE;
    EXPECT_FALSE(Check(impersonation, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SECURITY_DESCR));
    CloseHandle(impersonation);
    CloseHandle(primary);
    Free();
}

TEST(TokenDeathTest, LeaksAndDoubleFreesAreCaught)
{
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            LocalAlloc(LMEM_ZEROINIT, 40);
        },
        "local block");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            HLOCAL block = LocalAlloc(LMEM_ZEROINIT, 40);
            LocalFree(block);
            LocalFree(block);
        },
        "not a block from LocalAlloc");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            HANDLE token = nullptr;
            OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
        },
        "still open");
}

TEST(MachineKnobs, DescriptionSetsVolumesInUseTheUserAndInstallerFlags)
{
    auto machine = LoadMachineJson(R"({
        "token": {"administrators": false, "threadAdministrators": true},
        "classInstallerFlags": "0x100",
        "controllers": [{"instanceId": "PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", "rootHub": {"devices": [
            {"port": 1, "vid": "0x3A7E", "pid": "0x1201", "serial": "S1",
             "luns": [{"size": "8MiB", "letters": ["E"], "inUse": true}]}]}}]})");
    EXPECT_FALSE(machine->security.administrators);
    EXPECT_EQ(machine->security.threadAdministrators, std::optional<bool>(true));
    EXPECT_EQ(machine->classInstallerFlags, DWORD(DI_NEEDREBOOT));
    UsbDevice& stick = *machine->UsbDevices().front();
    ASSERT_TRUE(stick.luns[0]->volume->inUse);
    EXPECT_TRUE(machine->VolumeInUseBelow(*stick.devNode));
    EXPECT_TRUE(machine->VolumeInUseBelow(*stick.luns[0]->disk));
    EXPECT_FALSE(machine->VolumeInUseBelow(machine->VolumeManager()));
    EXPECT_THROW(LoadMachineJson(R"({"controllers": [{"instanceId": "PCI\\X\\1", "rootHub": {"devices": [
                     {"port": 1, "vid": 1, "pid": 1, "luns": [{"inUse": true}]}]}}]})"),
                 std::runtime_error);
}

TEST(MachineKnobs, EveryPropertyWriteIsLoggedWithItsAnswer)
{
    Machine machine;
    ScopedMachine scope(machine);
    DevNode& node = machine.AddDevNode(machine.PciBus(), u"PCI\\VEN_1\\1");
    node.unwritableProperties.insert(CM_DRP_UPPERFILTERS);
    const char16_t name[] = u"Name";
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(node.handle, CM_DRP_FRIENDLYNAME, name, sizeof name, 0),
              CR_SUCCESS);
    const char16_t list[] = u"A\0";
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(node.handle, CM_DRP_UPPERFILTERS, list, sizeof list, 0),
              CR_REGISTRY_ERROR);
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(node.handle, CM_DRP_FRIENDLYNAME, nullptr, 0, 0), CR_SUCCESS);
    ASSERT_EQ(machine.propertyWrites.size(), 3u);
    EXPECT_EQ(machine.propertyWrites[0].data.size(), 10u);
    EXPECT_EQ(machine.propertyWrites[1].result, DWORD(CR_REGISTRY_ERROR));
    EXPECT_TRUE(machine.propertyWrites[2].deleted);
    EXPECT_FALSE(node.HasProperty(CM_DRP_FRIENDLYNAME));
    EXPECT_DEATH(CM_Set_DevNode_Registry_PropertyW(node.handle, CM_DRP_FRIENDLYNAME, name, 8, 0),
                 "terminator");
    EXPECT_DEATH(CM_Set_DevNode_Registry_PropertyW(node.handle, CM_DRP_LOWERFILTERS, list, 4, 0), "two 0");
}
} // namespace
