// Surprise removal through the PnP manager: a read that is on the wire when the stick leaves fails instead
// of hanging, every stack goes down children first, every driver unloads without leaving pool, IRPs,
// threads or handles, and the same stick plugged in again serves the data it held.
#include "tests/e2e/pnp_fixture.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace
{

using namespace kavtest;

using namespace std::chrono_literals;

// Holds the first data transfer of the armed command on the wire until the test lets it go.
class WireGate
{
public:
    void Arm() { armed_ = true; }

    void OnTransfer(winsim::usb::Pipe pipe, uint32_t length)
    {
        if (!armed_ || pipe != winsim::usb::Pipe::BulkIn || length <= 13)
        {
            return;
        }
        std::unique_lock<std::mutex> lock(lock_);
        if (entered_)
        {
            return;
        }
        entered_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, 10s, [this] { return released_; });
    }

    bool WaitEntered()
    {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, 10s, [this] { return entered_; });
    }

    void Release()
    {
        std::lock_guard<std::mutex> lock(lock_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::atomic<bool> armed_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

class SurpriseRemoval : public PnpTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(SurpriseRemoval, ReadInFlightFailsAndNothingIsLeftBehind)
{
    wm::UsbDevice& stick = AddStick(1, {16ull << 20});
    if (GetParam())
    {
        EnableFilter(stick);
    }
    const size_t poolBefore = winsim::PoolOutstandingBlocks();
    pnp_->StartAll();
    RoundTrip(*stick.luns[0], 2 << 20, 64 * 1024, 21);

    WireGate gate;
    pnp_->DeviceModel(stick)->SetTransferHook(
        [&gate](winsim::usb::Pipe pipe, uint32_t length) { gate.OnTransfer(pipe, length); });
    gate.Arm();
    PDEVICE_OBJECT top = pnp_->DiskTop(*stick.luns[0]);
    winsim::IrpResult inFlight;
    std::thread reader([&inFlight, top] {
        winsim::usb::ScopedApplicationThread application(1);
        std::vector<unsigned char> buffer(64 * 1024);
        inFlight = winsim::SendRead(top, buffer.data(), ULONG(buffer.size()), 8 << 20);
    });
    ASSERT_TRUE(gate.WaitEntered());

    std::vector<std::pair<const wm::DevNode*, UCHAR>> seen;
    pnp_->SetPnpObserver([&seen, &gate](const wm::DevNode& node, UCHAR minor) {
        seen.emplace_back(&node, minor);
        if (minor == IRP_MN_SURPRISE_REMOVAL)
        {
            gate.Release(); // the transfer goes on while the stacks learn the device is gone
        }
    });
    pnp_->SurpriseRemove(stick);
    reader.join();
    pnp_->SetPnpObserver(nullptr);

    EXPECT_FALSE(NT_SUCCESS(inFlight.status));
    const wm::DevNode* usb = stick.devNode;
    const wm::DevNode* disk = stick.luns[0]->disk;
    const std::vector<std::pair<const wm::DevNode*, UCHAR>> expected = {{disk, IRP_MN_SURPRISE_REMOVAL},
                                                                        {usb, IRP_MN_SURPRISE_REMOVAL},
                                                                        {disk, IRP_MN_REMOVE_DEVICE},
                                                                        {usb, IRP_MN_REMOVE_DEVICE}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(stick.devNode->present);
    EXPECT_FALSE(stick.luns[0]->disk->present);
    EXPECT_EQ(pnp_->Pdo(*stick.devNode), nullptr);
    EXPECT_EQ(pnp_->DiskTop(*stick.luns[0]), nullptr);
    ExpectNothingLeft();
    EXPECT_EQ(winsim::PoolOutstandingBlocks(), poolBefore);

    // The same stick comes back: fresh stacks over the data it kept.
    ASSERT_TRUE(pnp_->Replug(stick));
    EXPECT_TRUE(stick.luns[0]->disk->present);
    EXPECT_EQ(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"), GetParam());
    winsim::usb::ScopedApplicationThread application(0);
    std::vector<unsigned char> back(64 * 1024);
    ASSERT_EQ(
        winsim::SendRead(pnp_->DiskTop(*stick.luns[0]), back.data(), ULONG(back.size()), 2 << 20).status,
        STATUS_SUCCESS);
    EXPECT_TRUE(back == Pattern(back.size(), 21));
}

INSTANTIATE_TEST_SUITE_P(Pnp, SurpriseRemoval, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Filtered" : "Unfiltered");
                         });

TEST_F(PnpTest, SurpriseRemovalOfOneDeviceLeavesTheOtherWorking)
{
    wm::UsbDevice& reader = AddStick(1, {4ull << 20, 4ull << 20});
    wm::UsbDevice& stick = AddStick(2);
    EnableFilter(reader);
    EnableFilter(stick);
    pnp_->StartAll();

    pnp_->SurpriseRemove(reader);
    EXPECT_NE(pnp_->LoadedDriver(u"Kavfiltr"), nullptr); // the other stick still has its devices
    RoundTrip(*stick.luns[0], 0, 64 * 1024, 22);
    EXPECT_TRUE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
}

TEST_F(PnpTest, SurpriseRemovalOfADeviceThatNeverStarted)
{
    wm::UsbDevice& stick = AddStick(1);
    stick.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"NotThere"});
    pnp_->StartAll();
    EXPECT_EQ(Problem(*stick.devNode), ULONG(CM_PROB_REGISTRY));
    pnp_->SurpriseRemove(stick);
    EXPECT_EQ(pnp_->Pdo(*stick.devNode), nullptr);
    EXPECT_FALSE(stick.devNode->present);
}

} // namespace
