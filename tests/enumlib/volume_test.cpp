// Volume enumeration: drive letters in letter order, tied to volume device nodes through the volume
// interface.
#include "tests/support/test_machines.h"

#include "enumlib/VolumeEnumerate.h"

#include <gtest/gtest.h>

namespace
{

using namespace kavtest;
using Kavelor::CVolumeEnumerate;
using Kavelor::CVolumeEnumerateList;

CVolumeEnumerateList Volumes(Machine& machine)
{
    CVolumeEnumerateList list;
    list.emplace_back(); // a stale entry the run must remove
    CVolumeEnumerate(&list).Enumerate();
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    return list;
}

TEST(Volumes, LettersInOrderWithTheirVolumeDevices)
{
    Machine machine;
    ScopedMachine scope(machine);
    Volume& e = machine.AddVolume(nullptr, {u'E'});
    Volume& c = machine.AddVolume(nullptr, {u'C'});

    CVolumeEnumerateList list = Volumes(machine);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().chDriveLetter, u'C');
    EXPECT_EQ(Text(list.front().strVolumeName), Narrow(c.guidPath));
    EXPECT_EQ(Text(list.back().strDeviceInstanceId), Narrow(e.devNode->instanceId));
    EXPECT_EQ(Text(list.back().strInterfacePath), Narrow(e.devNode->interfaces[0].path) + "\\");
    EXPECT_EQ(Text(CVolumeEnumerate::FormatDriveRoot(u'E')), "E:\\");
}

TEST(Volumes, VolumeUnderTwoLettersTiesBothAndOneWithoutInterfaceNone)
{
    Machine machine;
    ScopedMachine scope(machine);
    Volume& shared = machine.AddVolume(nullptr, {u'G', u'D'});
    Volume& bare = machine.AddVolume(nullptr, {u'Z'});
    bare.devNode->interfaces.clear();

    CVolumeEnumerateList list = Volumes(machine);
    ASSERT_EQ(list.size(), 3u);
    auto d = list.begin();
    auto g = std::next(d);
    EXPECT_EQ(d->chDriveLetter, u'D');
    EXPECT_EQ(g->chDriveLetter, u'G');
    EXPECT_EQ(Text(d->strDeviceInstanceId), Narrow(shared.devNode->instanceId));
    EXPECT_EQ(d->strDeviceInstanceId, g->strDeviceInstanceId);
    EXPECT_EQ(d->strInterfacePath, g->strInterfacePath);
    EXPECT_EQ(list.back().chDriveLetter, u'Z');
    EXPECT_TRUE(list.back().strInterfacePath.empty());
    EXPECT_TRUE(list.back().strDeviceInstanceId.empty());
}

TEST(Volumes, VolumeNamesMatchWhateverTheirCase)
{
    Machine machine;
    ScopedMachine scope(machine);
    Volume& volume = machine.AddVolume(nullptr, {u'E'});
    volume.guidPathViaInterface = Upper(volume.guidPath);
    ASSERT_NE(*volume.guidPathViaInterface, volume.guidPath);

    CVolumeEnumerateList list = Volumes(machine);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Text(list.front().strDeviceInstanceId), Narrow(volume.devNode->instanceId));
}

TEST(Volumes, SetThatCannotBeOpenedLeavesLettersUntied)
{
    Machine machine;
    ScopedMachine scope(machine);
    machine.AddVolume(nullptr, {u'C'});
    machine.failingInterfaceSets.push_back(kVolumeInterface);

    CVolumeEnumerateList list = Volumes(machine);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list.front().strVolumeName.empty());
    EXPECT_TRUE(list.front().strDeviceInstanceId.empty());
}
} // namespace
