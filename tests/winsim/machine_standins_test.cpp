// The platform stand-ins of the simulated PC answer as Windows does in the cases the product and its
// tests rely on: registry property reads and writes, phantom nodes after an unplug, device interface
// details, the hub I/O controls' answers for empty ports, non-hub ports and short buffers, and answers a
// test replaces with bytes of its own.
#include "tests/support/test_machines.h"

#include "enumlib/USBEnumerateEx.h"
#include "winsim/registry/registry_store.h"
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace
{

using namespace kavtest;

class StandInTest : public ::testing::Test
{
protected:
    StandInTest() : scope_(machine_)
    {
        controller_ = &AddController(machine_, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, true);
        stick_ = &AddStick(machine_, *controller_->rootHub, 2, kVid, kPid, u"STICK", {u'E'});
    }

    ~StandInTest() override { EXPECT_EQ(machine_.OpenHandleCount(), 0u); }

    HANDLE OpenRootHub()
    {
        WString path = u"\\\\.\\" + controller_->rootHub->name;
        return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    Machine machine_;
    ScopedMachine scope_;
    HostController* controller_ = nullptr;
    UsbDevice* stick_ = nullptr;
};

TEST_F(StandInTest, PropertyWritesAreStoredAsWindowsStoresThem)
{
    DEVINST node = stick_->devNode->handle;
    const WCHAR list[] = u"Kavfiltr\0Other\0";
    ASSERT_EQ(CM_Set_DevNode_Registry_PropertyW(node, CM_DRP_LOWERFILTERS, list, sizeof list, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(stick_->devNode->GetMultiString(CM_DRP_LOWERFILTERS),
              (std::vector<WString>{u"Kavfiltr", u"Other"}));
    ULONG type = 0;
    ULONG length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOWERFILTERS, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(length, sizeof list);
    EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));

    const WCHAR name[] = u"USB 大容量記憶装置（Kavelor 有効）";
    ASSERT_EQ(CM_Set_DevNode_Registry_PropertyW(node, CM_DRP_FRIENDLYNAME, name, sizeof name, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    WCHAR read[200] = {};
    length = sizeof read;
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_FRIENDLYNAME, &type, read, &length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(WString(read), WString(name));
    EXPECT_EQ(length, sizeof name);

    // A null buffer with length 0 deletes the value.
    ASSERT_EQ(CM_Set_DevNode_Registry_PropertyW(node, CM_DRP_FRIENDLYNAME, nullptr, 0, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    length = sizeof read;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_FRIENDLYNAME, nullptr, read, &length, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));

    stick_->devNode->unwritableProperties.insert(CM_DRP_UPPERFILTERS);
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(node, CM_DRP_UPPERFILTERS, list, sizeof list, 0),
              static_cast<CONFIGRET>(CR_REGISTRY_ERROR));
    EXPECT_FALSE(stick_->devNode->HasProperty(CM_DRP_UPPERFILTERS));
}

TEST_F(StandInTest, UnpluggedDeviceIsAPhantom)
{
    WString id = stick_->devNode->instanceId;
    Volume* volume = stick_->luns[0]->volume;
    machine_.Unplug(*stick_);

    DEVINST node = 0;
    EXPECT_EQ(CM_Locate_DevNodeW(&node, const_cast<WCHAR*>(id.c_str()), CM_LOCATE_DEVNODE_NORMAL),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeW(&node, const_cast<WCHAR*>(id.c_str()), CM_LOCATE_DEVNODE_PHANTOM),
              static_cast<CONFIGRET>(CR_SUCCESS));
    DEVINST child = 0;
    EXPECT_EQ(CM_Get_Child(&child, controller_->rootHub->devNode->handle, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    WCHAR name[260] = {};
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"E:\\", name, 260));
    EXPECT_FALSE(volume->devNode->present);

    // Only a set without DIGCF_PRESENT still holds it.
    for (DWORD flags : {DWORD(DIGCF_PRESENT | DIGCF_ALLCLASSES), DWORD(DIGCF_ALLCLASSES)})
    {
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, flags);
        SP_DEVINFO_DATA data = {};
        data.cbSize = sizeof data;
        bool found = false;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index)
        {
            found = found || data.DevInst == node;
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        EXPECT_EQ(found, (flags & DIGCF_PRESENT) == 0);
        SetupDiDestroyDeviceInfoList(set);
    }

    Kavelor::CUSBEnumerateExList list;
    Kavelor::CUSBEnumerateEx(&list).Enumerate();
    EXPECT_TRUE(list.empty());
}

TEST_F(StandInTest, InterfaceDetailTellsItsSizeThenFillsPathAndDevice)
{
    HDEVINFO set =
        SetupDiGetClassDevsW(&kVolumeInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVolumeInterface, 0, &iface));
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const WString& path = stick_->luns[0]->volume->devNode->interfaces[0].path;
    EXPECT_EQ(required, 4 + (path.size() + 1) * 2);

    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required - 2, nullptr, &device));
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &device));
    EXPECT_EQ(WString(detail->DevicePath), path);
    EXPECT_EQ(device.DevInst, stick_->luns[0]->volume->devNode->handle);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVolumeInterface, 1, &iface));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(StandInTest, HubAnswersForEmptyPortsNonHubPortsAndShortBuffers)
{
    HANDLE hub = OpenRootHub();
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    DWORD returned = 0;

    // Connection name of a port without a hub: the header only.
    USB_NODE_CONNECTION_NAME name = {};
    name.ConnectionIndex = 2;
    ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, &name, sizeof name, &name,
                                sizeof name, &returned, nullptr));
    ULONG actualLength = name.ActualLength; // packed: read by value
    EXPECT_EQ(actualLength, sizeof name);

    // Driver key of an empty port and of a port that does not exist: no answer.
    USB_NODE_CONNECTION_DRIVERKEY_NAME key = {};
    key.ConnectionIndex = 1;
    EXPECT_FALSE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, &key, sizeof key, &key,
                                 sizeof key, &returned, nullptr));
    key.ConnectionIndex = 5;
    EXPECT_FALSE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, &key, sizeof key, &key,
                                 sizeof key, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Connection information carries only the pipes that fit.
    BYTE buffer[35 + 11] = {};
    ULONG port = 2;
    std::memcpy(buffer, &port, sizeof port);
    ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, buffer, sizeof buffer,
                                buffer, sizeof buffer, &returned, nullptr));
    USB_NODE_CONNECTION_INFORMATION_EX info;
    std::memcpy(&info, buffer, 35);
    // Packed fields are read by value.
    ULONG pipes = info.NumberOfOpenPipes;
    USHORT vendor = info.DeviceDescriptor.idVendor;
    USB_CONNECTION_STATUS status = info.ConnectionStatus;
    EXPECT_EQ(pipes, 2u);
    EXPECT_EQ(returned, sizeof buffer);
    EXPECT_EQ(vendor, kVid);
    EXPECT_EQ(status, DeviceConnected);
    EXPECT_FALSE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, buffer, 34, buffer, 34,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // A hub handle is no controller.
    USB_HCD_DRIVERKEY_NAME hcd = {};
    EXPECT_FALSE(DeviceIoControl(hub, IOCTL_GET_HCD_DRIVERKEY_NAME, &hcd, sizeof hcd, &hcd, sizeof hcd,
                                 &returned, nullptr));
    EXPECT_TRUE(CloseHandle(hub));
}

// A replaced answer reaches the caller as a driver's answer would through METHOD_BUFFERED: only what fits
// the buffer, the rest of the buffer untouched, nothing at all when the request fails. The misuse checks
// come first, so a replaced answer never hides a broken call.
TEST_F(StandInTest, ReplacedHubAnswersFitTheCallersBuffer)
{
    std::vector<DWORD> asked;
    controller_->rootHub->answerOverride = [&asked](DWORD code, const std::vector<BYTE>&,
                                                    DWORD outSize) -> std::optional<IoAnswer> {
        asked.push_back(outSize);
        IoAnswer answer;
        answer.succeeds = code != IOCTL_USB_GET_NODE_INFORMATION;
        answer.error = ERROR_DEVICE_NOT_CONNECTED;
        answer.bytes.assign(16, 0xAB);
        return answer;
    };
    HANDLE hub = OpenRootHub();
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    BYTE buffer[12];
    std::memset(buffer, 0x11, sizeof buffer);
    ULONG port = 1;
    std::memcpy(buffer, &port, sizeof port);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, buffer, sizeof buffer, buffer, 10,
                                &returned, nullptr));
    EXPECT_EQ(returned, 10u);
    EXPECT_EQ(buffer[9], 0xAB);
    EXPECT_EQ(buffer[10], 0x11);

    std::memset(buffer, 0x11, sizeof buffer);
    EXPECT_FALSE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, nullptr, 0, buffer, sizeof buffer,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(asked, (std::vector<DWORD>{10, sizeof buffer}));

    EXPECT_DEATH(DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, nullptr, 4, buffer, sizeof buffer,
                                 &returned, nullptr),
                 "a buffer length without a buffer");
    EXPECT_TRUE(CloseHandle(hub));
}

TEST_F(StandInTest, RemovalRelationsListTheVolume)
{
    const WString& disk = stick_->luns[0]->disk->instanceId;
    ULONG length = 0;
    ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&length, disk.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS),
              static_cast<CONFIGRET>(CR_SUCCESS));
    const WString& volume = stick_->luns[0]->volume->devNode->instanceId;
    EXPECT_EQ(length, volume.size() + 2);
    std::vector<WCHAR> list(length);
    EXPECT_EQ(
        CM_Get_Device_ID_ListW(disk.c_str(), list.data(), length - 1, CM_GETIDLIST_FILTER_REMOVALRELATIONS),
        static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    ASSERT_EQ(CM_Get_Device_ID_ListW(disk.c_str(), list.data(), length, CM_GETIDLIST_FILTER_REMOVALRELATIONS),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(WString(list.data()), volume);
    EXPECT_EQ(CM_Get_Device_ID_List_SizeW(&length, u"", CM_GETIDLIST_FILTER_REMOVALRELATIONS),
              static_cast<CONFIGRET>(CR_INVALID_DEVICE_ID));
}
} // namespace

namespace
{

// The element of a fresh set of all present devices that stands for `node`; the set is the caller's.
HDEVINFO SetWith(DEVINST node, SP_DEVINFO_DATA* data)
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    data->cbSize = sizeof *data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, data); ++index)
    {
        if (data->DevInst == node)
        {
            return set;
        }
    }
    ADD_FAILURE() << "the device is not in the set";
    return set;
}

} // namespace

// A device's hardware key holds what its driver wrote; user mode reads it through the Setup API, with the
// two-call size pattern, and only an administrator may open it for writing; a key opened for reading takes
// no value.
TEST_F(StandInTest, TheHardwareKeyIsReadByEveryoneAndWrittenOnlyWithTheRightsToIt)
{
    const WString& id = stick_->devNode->instanceId;
    const ULONGLONG written = 0x1122334455667788ull;
    winsim::registry::Write(
        id, u"Unit0", u"BytesRead",
        {REG_QWORD, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&written),
                                         reinterpret_cast<const uint8_t*>(&written) + 8)});
    SP_DEVINFO_DATA data = {};
    HDEVINFO set = SetWith(stick_->devNode->handle, &data);

    machine_.security.administrators = false;
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    HKEY device = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, device);
    HKEY unit = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(device, u"Unit1", 0, KEY_READ, &unit));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(device, u"unit0", 0, KEY_READ, &unit));
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(unit, u"BytesRead", nullptr, &type, nullptr, &size));
    EXPECT_EQ(8u, size);
    ULONGLONG read = 0;
    size = 4;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExW(unit, u"BytesRead", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size));
    size = sizeof read;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(unit, u"BytesRead", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_QWORD), type);
    EXPECT_EQ(written, read);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(unit, u"BytesRead", 0, REG_QWORD,
                                                  reinterpret_cast<const BYTE*>(&read), sizeof read));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(unit, u"Missing", nullptr, &type, nullptr, &size));
    RegCloseKey(unit);
    RegCloseKey(device);

    machine_.security.administrators = true;
    device = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE);
    ASSERT_NE(INVALID_HANDLE_VALUE, device);
    const ULONGLONG zero = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(device, u"Reset", 0, REG_QWORD,
                                            reinterpret_cast<const BYTE*>(&zero), sizeof zero));
    EXPECT_TRUE(winsim::registry::Read(id, u"", u"reset").has_value());
    EXPECT_DEATH(CloseHandle(device), "RegCloseKey");
    RegCloseKey(device);
    SetupDiDestroyDeviceInfoList(set);
}

// One device reached by its instance ID in an empty set, as a reader of its hardware key does once a second:
// found ignoring case and once only, a device that left included; an unknown ID fails with the Setup API's
// own error.
TEST_F(StandInTest, ASingleDeviceIsOpenedByItsInstanceIdInAnEmptySet)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    WString id = stick_->devNode->instanceId;
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, u"usb\\vid_3a7e&pid_1202\\stick", nullptr, 0, &data));
    EXPECT_EQ(data.DevInst, stick_->devNode->handle);
    machine_.Unplug(*stick_);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 0, nullptr));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data)) << "the same device twice is one element";
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, u"USB\\VID_3A7E&PID_1202\\NOSUCH", nullptr, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST), GetLastError());
    EXPECT_DEATH(SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 2, &data), "only 0");
    SetupDiDestroyDeviceInfoList(set);
}
