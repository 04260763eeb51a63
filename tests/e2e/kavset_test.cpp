// Kavset end to end on the simulated PC with the PnP manager and Kavfiltr: its command line in, its exit
// code out, and the real effect of the change: after Reg and the restart the filter sits in both stacks
// and a sequential reader costs the stick one command per MiB instead of sixteen; after Unreg the USB stack
// has no filter and the disk, though its list still names the filter, gets no filter device.
#include "tests/e2e/pnp_fixture.h"

#include "regtool/CmdLineParam.h"

#include "enumlib/FilterState.h"

#include <cstdio>

namespace
{
using namespace kavtest;

const char16_t kMarker[] = u"USB 大容量記憶装置（Kavelor 有効）";

class KavsetEndToEnd : public PnpTest
{
protected:
    int Kavset(const std::u16string& arguments)
    {
        wm::ScopedMachine installed(machine_);
        wm::ScopedCommandLine commandLine(u"Kavset.exe " + arguments);
        return Kavelor::KavsetMain();
    }

    // Device commands per MiB of a sequential reader with 1 MiB requests, as `kavlab bench --workload
    // seqread` measures them: the stick's own counters.
    double SeqReadCommandsPerMib(wm::UsbDevice& stick, unsigned mebibytes = 8)
    {
        winsim::usb::BulkOnlyDevice& device = *pnp_->DeviceModel(stick);
        device.ResetCounters();
        winsim::usb::ScopedApplicationThread application(0);
        PDEVICE_OBJECT top = pnp_->DiskTop(*stick.luns[0]);
        std::vector<unsigned char> buffer(1 << 20);
        for (unsigned at = 0; at < mebibytes; ++at)
        {
            winsim::IrpResult read =
                winsim::SendRead(top, buffer.data(), ULONG(buffer.size()), LONGLONG(at) << 20);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
        }
        return double(device.Counters().commands) / mebibytes;
    }

    bool Filtered(const wm::UsbDevice& stick, size_t lun = 0)
    {
        return pnp_->InStack(*stick.devNode, u"Kavfiltr") &&
               pnp_->InStack(*stick.luns[lun]->disk, u"Kavfiltr");
    }
};

TEST_F(KavsetEndToEnd, RegPutsKavfiltrIntoBothStacksAndUnregTakesItOutOfTheUsbStack)
{
    wm::UsbDevice& stick = AddStick(1, {16ull << 20});
    pnp_->StartAll();
    RoundTrip(*stick.luns[0], 0, 8 << 20, 1);
    double before = SeqReadCommandsPerMib(stick);
    EXPECT_EQ(before, 16.0);

    ASSERT_EQ(Kavset(u"/Reg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    EXPECT_EQ(stick.devNode->GetString(CM_DRP_FRIENDLYNAME), wm::WString(kMarker));
    EXPECT_EQ(stick.devNode->GetMultiString(CM_DRP_LOWERFILTERS), std::vector<wm::WString>{u"Kavfiltr"});
    EXPECT_EQ(stick.luns[0]->disk->GetMultiString(CM_DRP_UPPERFILTERS),
              std::vector<wm::WString>{u"Kavfiltr"});
    EXPECT_EQ(stick.devNode->restartsCompleted, 1u);
    EXPECT_TRUE(Filtered(stick));
    double filtered = SeqReadCommandsPerMib(stick);
    EXPECT_LE(filtered, 1.0);
    RoundTrip(*stick.luns[0], 9 << 20, 1 << 20, 2);

    ASSERT_EQ(Kavset(u"/Unreg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    EXPECT_FALSE(stick.devNode->HasProperty(CM_DRP_FRIENDLYNAME));
    EXPECT_FALSE(stick.devNode->HasProperty(CM_DRP_LOWERFILTERS));
    EXPECT_EQ(stick.luns[0]->disk->GetMultiString(CM_DRP_UPPERFILTERS),
              std::vector<wm::WString>{u"Kavfiltr"});
    EXPECT_EQ(pnp_->StackServices(*stick.devNode), Services({u"usbhub", u"USBSTOR"}));
    EXPECT_EQ(pnp_->StackServices(*stick.luns[0]->disk), Services({u"USBSTOR", u"disk"}));
    EXPECT_EQ(Problem(*stick.luns[0]->disk), 0u);
    double after = SeqReadCommandsPerMib(stick);
    EXPECT_EQ(after, 16.0);
    EXPECT_TRUE(Medium(stick, 0, 9 << 20, 1 << 20) == Pattern(1 << 20, 2));
    std::printf("seqread commands/MiB: %.2f before Reg, %.2f after Reg, %.2f after Unreg\n", before, filtered,
                after);
}

TEST_F(KavsetEndToEnd, RegRepairsADiskThatLostItsUpperFilter)
{
    wm::UsbDevice& reader = AddStick(2, {4ull << 20, 4ull << 20});
    pnp_->StartAll();
    ASSERT_EQ(Kavset(u"-reg " + reader.devNode->instanceId), Kavelor::EXIT_OK);
    ASSERT_TRUE(Filtered(reader, 1));

    // Windows rewrote the second disk's key; its stack is rebuilt without the filter.
    reader.luns[1]->disk->RemoveProperty(CM_DRP_UPPERFILTERS);
    ASSERT_TRUE(pnp_->Restart(*reader.luns[1]->disk));
    EXPECT_FALSE(pnp_->InStack(*reader.luns[1]->disk, u"Kavfiltr"));

    // The tray application would offer Reg again, with the disk's own ID or the device's.
    ASSERT_EQ(Kavset(u"/Reg " + reader.luns[1]->disk->instanceId), Kavelor::EXIT_OK);
    EXPECT_EQ(reader.luns[1]->disk->GetMultiString(CM_DRP_UPPERFILTERS),
              std::vector<wm::WString>{u"Kavfiltr"});
    EXPECT_TRUE(Filtered(reader, 0));
    EXPECT_TRUE(Filtered(reader, 1));
    RoundTrip(*reader.luns[1], 0, 256 * 1024, 3);
}

TEST_F(KavsetEndToEnd, AVolumeInUseLeavesTheRegistryChangedAndTheStacksAsTheyWere)
{
    wm::UsbDevice& stick = AddStickWithVolume(3, u"INUSE", u'E');
    pnp_->StartAll();
    stick.luns[0]->volume->inUse = true;

    EXPECT_EQ(Kavset(u"/Reg " + stick.devNode->instanceId), Kavelor::EXIT_RESTART_PENDING);
    EXPECT_EQ(stick.devNode->GetMultiString(CM_DRP_LOWERFILTERS), std::vector<wm::WString>{u"Kavfiltr"});
    EXPECT_FALSE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    EXPECT_EQ(Problem(*stick.devNode), 0u);
    RoundTrip(*stick.luns[0], 0, 64 * 1024, 4);

    // Once the files are closed, Reg on the enabled device writes nothing and restarts it.
    stick.luns[0]->volume->inUse = false;
    machine_.propertyWrites.clear();
    EXPECT_EQ(Kavset(u"/Reg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    EXPECT_TRUE(machine_.propertyWrites.empty());
    EXPECT_TRUE(Filtered(stick));
}

TEST_F(KavsetEndToEnd, ADeviceGoneBeforeItsRestartEndsWithThreeAndNoCrash)
{
    wm::UsbDevice& stick = AddStick(4);
    pnp_->StartAll();
    machine_.onPropertyWrite = [&](const wm::PropertyWrite& write) {
        if (write.property == CM_DRP_LOWERFILTERS)
        {
            pnp_->SurpriseRemove(stick);
        }
    };
    EXPECT_EQ(Kavset(u"/Reg " + stick.devNode->instanceId), Kavelor::EXIT_RESTART_PENDING);
    machine_.onPropertyWrite = nullptr;
    EXPECT_EQ(stick.devNode->restartCount, 0u);

    // It comes back with the filter in its lists, so its stacks are built with it.
    ASSERT_TRUE(pnp_->Replug(stick));
    EXPECT_TRUE(Filtered(stick));
    EXPECT_EQ(Kavset(u"/Unreg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    EXPECT_FALSE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
}
} // namespace
