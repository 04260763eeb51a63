// Uninstalling the product on the simulated PC: once the Kavfiltr service is deleted, Windows does not
// start a device whose filter lists still name it, and Kavset's Unreg leaves the filter in the storage
// nodes' upper filters. The uninstaller therefore runs Kavset /Uninstall first, which takes the filter off
// every device node (unplugged ones too) and restarts the present ones, and deletes the service only when
// that ended with 0 or 3. These tests prove that every stick still starts and serves its data after the
// service is gone, that a node which cannot be cleaned makes the uninstaller keep the service, and that
// the danger is real on this PC (Unreg alone leaves a stick that no longer starts).
#include "tests/e2e/pnp_fixture.h"

#include "regtool/CmdLineParam.h"

#include <algorithm>

namespace
{
using namespace kavtest;

class UninstallTest : public PnpTest
{
protected:
    int Kavset(const std::u16string& arguments)
    {
        wm::ScopedMachine installed(machine_);
        wm::ScopedCommandLine commandLine(u"Kavset.exe " + arguments);
        return Kavelor::KavsetMain();
    }

    // The nodes of the machine, present or not, whose lower or upper filters name Kavfiltr.
    std::vector<wm::WString> NodesNamingKavfiltr()
    {
        std::vector<wm::WString> naming;
        for (const auto& node : machine_.DevNodes())
        {
            for (ULONG property : {ULONG(CM_DRP_LOWERFILTERS), ULONG(CM_DRP_UPPERFILTERS)})
            {
                std::vector<wm::WString> list = node->GetMultiString(property);
                if (std::any_of(list.begin(), list.end(),
                                [](const wm::WString& entry) { return wm::EqualNoCase(entry, u"KAVFILTR"); }))
                {
                    naming.push_back(node->instanceId);
                }
            }
        }
        return naming;
    }

    // The service deleted as the uninstaller does (sc delete). A loaded driver stays loaded until the
    // last stack that lists it is taken down.
    void DeleteService() { machine_.RemoveService(u"Kavfiltr"); }

    // The stick taken out and plugged in again: its stacks are built from its lists as they are now.
    void Replug(wm::UsbDevice& stick)
    {
        if (stick.devNode->present)
        {
            pnp_->SurpriseRemove(stick);
        }
        pnp_->Replug(stick);
    }

    void ExpectWorking(wm::UsbDevice& stick, unsigned seed)
    {
        EXPECT_EQ(Problem(*stick.devNode), 0u) << wm::Narrow(stick.devNode->instanceId);
        for (const auto& lun : stick.luns)
        {
            ASSERT_EQ(Problem(*lun->disk), 0u) << wm::Narrow(lun->disk->instanceId);
            EXPECT_FALSE(pnp_->InStack(*lun->disk, u"Kavfiltr"));
            RoundTrip(*lun, 0, 256 * 1024, seed++);
        }
        EXPECT_FALSE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    }
};

TEST_F(UninstallTest, UnregAloneLeavesAStickThatNoLongerStartsOnceTheServiceIsGone)
{
    wm::UsbDevice& stick = AddStick(1);
    pnp_->StartAll();
    ASSERT_EQ(Kavset(u"/Reg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    ASSERT_EQ(Kavset(u"/Unreg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    ASSERT_EQ(NodesNamingKavfiltr(), std::vector<wm::WString>{stick.luns[0]->disk->instanceId});

    DeleteService();
    Replug(stick);
    EXPECT_EQ(Problem(*stick.devNode), 0u);
    EXPECT_EQ(Problem(*stick.luns[0]->disk), ULONG(CM_PROB_REGISTRY));
}

TEST_F(UninstallTest, EveryStickStartsAndServesItsDataAfterTheServiceIsDeleted)
{
    wm::UsbDevice& enabled = AddStickWithVolume(1, u"ENABLED", u'E');
    wm::UsbDevice& disabled = AddStick(2);
    wm::UsbDevice& reader = AddStick(3, {4ull << 20, 4ull << 20});
    wm::UsbDevice& unplugged = AddStick(4);
    pnp_->StartAll();
    for (wm::UsbDevice* stick : {&enabled, &disabled, &reader, &unplugged})
    {
        ASSERT_EQ(Kavset(u"/Reg " + stick->devNode->instanceId), Kavelor::EXIT_OK);
    }
    ASSERT_EQ(Kavset(u"/Unreg " + disabled.devNode->instanceId), Kavelor::EXIT_OK);
    // Another product's filter on the reader stays where it is, Kavfiltr's entry in any case goes.
    machine_.AddService(Installed(u"PassFilt"));
    EnableFilter(reader, u"PassFilt");
    reader.luns[1]->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"PassFilt", u"KAVFILTR"});
    ASSERT_TRUE(pnp_->Restart(*reader.devNode));
    RoundTrip(*unplugged.luns[0], 0, 128 * 1024, 10);
    pnp_->SurpriseRemove(unplugged);
    // A name the user gave the disabled stick is theirs.
    disabled.devNode->SetString(CM_DRP_FRIENDLYNAME, u"My stick");

    EXPECT_EQ(Kavset(u"/Uninstall"), Kavelor::EXIT_OK);
    EXPECT_TRUE(NodesNamingKavfiltr().empty());
    EXPECT_FALSE(enabled.devNode->HasProperty(CM_DRP_FRIENDLYNAME));
    EXPECT_FALSE(unplugged.devNode->HasProperty(CM_DRP_FRIENDLYNAME));
    EXPECT_EQ(disabled.devNode->GetString(CM_DRP_FRIENDLYNAME), wm::WString(u"My stick"));
    EXPECT_EQ(reader.devNode->GetMultiString(CM_DRP_LOWERFILTERS), Services({u"PassFilt"}));
    EXPECT_EQ(reader.luns[1]->disk->GetMultiString(CM_DRP_UPPERFILTERS), Services({u"PassFilt"}));
    // The present sticks that carried the filter were restarted, once each, and dropped it.
    EXPECT_EQ(enabled.devNode->restartsCompleted, 2u);
    EXPECT_EQ(disabled.luns[0]->disk->restartsCompleted, 1u);
    EXPECT_EQ(pnp_->StackServices(*reader.luns[1]->disk), Services({u"USBSTOR", u"disk", u"PassFilt"}));
    EXPECT_EQ(pnp_->LoadedDriver(u"Kavfiltr"), nullptr) << "Kavfiltr is still loaded";

    DeleteService();
    Replug(unplugged);
    EXPECT_TRUE(Medium(unplugged, 0, 0, 128 * 1024) == Pattern(128 * 1024, 10));
    for (wm::UsbDevice* stick : {&enabled, &disabled, &reader, &unplugged})
    {
        Replug(*stick);
        ExpectWorking(*stick, 20);
    }
}

TEST_F(UninstallTest, AVolumeInUseLeavesCleanListsAndAsksForARestart)
{
    wm::UsbDevice& stick = AddStickWithVolume(1, u"INUSE", u'E');
    pnp_->StartAll();
    ASSERT_EQ(Kavset(u"/Reg " + stick.devNode->instanceId), Kavelor::EXIT_OK);
    stick.luns[0]->volume->inUse = true;

    // The lists are clean, so the service may go; the running stacks keep the loaded driver until the
    // stick next stops, and start without it after that.
    EXPECT_EQ(Kavset(u"/Uninstall"), Kavelor::EXIT_RESTART_PENDING);
    EXPECT_TRUE(NodesNamingKavfiltr().empty());
    EXPECT_TRUE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    machine_.RemoveService(u"Kavfiltr");
    RoundTrip(*stick.luns[0], 0, 64 * 1024, 30);

    stick.luns[0]->volume->inUse = false;
    Replug(stick);
    ExpectWorking(stick, 31);
}

TEST_F(UninstallTest, ANodeThatCannotBeCleanedKeepsTheServiceAndRestartsNothing)
{
    wm::UsbDevice& stuck = AddStick(1);
    wm::UsbDevice& other = AddStick(2);
    pnp_->StartAll();
    for (wm::UsbDevice* stick : {&stuck, &other})
    {
        ASSERT_EQ(Kavset(u"/Reg " + stick->devNode->instanceId), Kavelor::EXIT_OK);
    }
    stuck.luns[0]->disk->unwritableProperties.insert(CM_DRP_UPPERFILTERS);

    EXPECT_EQ(Kavset(u"/Uninstall"), Kavelor::EXIT_UNINSTALL_FAILED);
    // Every other node was cleaned; nothing was restarted, so the filter is still in the stacks it was in.
    EXPECT_EQ(NodesNamingKavfiltr(), std::vector<wm::WString>{stuck.luns[0]->disk->instanceId});
    EXPECT_EQ(other.devNode->restartCount, 1u);
    EXPECT_TRUE(pnp_->InStack(*other.devNode, u"Kavfiltr"));

    // The uninstaller keeps the service, so the stuck stick still starts after a replug, with the filter
    // on its disk only.
    stuck.luns[0]->disk->unwritableProperties.clear();
    Replug(stuck);
    EXPECT_EQ(Problem(*stuck.luns[0]->disk), 0u);
    RoundTrip(*stuck.luns[0], 0, 64 * 1024, 40);

    // A second run, with the node writable again, finishes the job.
    EXPECT_EQ(Kavset(u"/Uninstall"), Kavelor::EXIT_OK);
    EXPECT_TRUE(NodesNamingKavfiltr().empty());

    // A list that cannot be read may name the filter: that alone keeps the service, and nothing is written.
    other.devNode->unreadableProperties.insert(CM_DRP_LOWERFILTERS);
    machine_.propertyWrites.clear();
    EXPECT_EQ(Kavset(u"/Uninstall"), Kavelor::EXIT_UNINSTALL_FAILED);
    EXPECT_TRUE(machine_.propertyWrites.empty());
}
} // namespace
