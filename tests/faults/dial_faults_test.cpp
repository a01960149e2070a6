// Faults of a modem or its device while a client dials: each ends in its status and message, the
// faulty port goes back to the pool, and the other modems go on serving.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "korva/korva.h"
#include "support/pool_fixture.h"

namespace {

using sim::Fault;

enum class When { kBeforeOpen, kBeforeDial, kWhileDialling };

struct DialFault {
    const char* name;
    When when;
    Fault fault;
    int32_t status;        // of the dial that meets the fault
    std::string message;   // a line the log must hold ("" none)
    bool recovers = true;  // a dial on the faulty modem succeeds once the fault is cleared
};

void PrintTo(const DialFault& c, std::ostream* out) {
    *out << c.name;
}

const std::string kNotResponding = "KORVA> Connect() modem COM1 not responding";

const DialFault kDialFaults[] = {
    {"PoweredOff", When::kBeforeDial, Fault::kPoweredOff, KORVA_STATUS_NO_MODEM, kNotResponding},
    {"Garbled", When::kBeforeDial, Fault::kGarbled, KORVA_STATUS_NO_MODEM, kNotResponding},
    {"ErrorToEverything", When::kBeforeDial, Fault::kErrorReplies, KORVA_STATUS_NO_MODEM,
     kNotResponding},
    // The dial command's own reply read takes "NO DIALTONE" / "NO CARRIER", so nothing is left
    // for the scan after the carrier poll: the dial ends as unanswered, without a message.
    {"NoDialTone", When::kBeforeDial, Fault::kNoDialTone, KORVA_STATUS_NO_CARRIER, ""},
    // (no fault of the modem: the carrier drops while it dials entry 3, which answers late)
    {"CarrierDropsWhileDialling", When::kWhileDialling, Fault::kSilent, KORVA_STATUS_NO_CARRIER,
     ""},
    {"DeviceDoesNotOpen", When::kBeforeOpen, Fault::kOpenFails, KORVA_STATUS_NO_MODEM, "", false},
};

// COM1 serves only dial entry 1 (VPI 1), COM2 only dial entry 2 (VPI 2).
class DialFaultTest : public PoolTest, public ::testing::WithParamInterface<DialFault> {
  protected:
    void SetUp() override {
        PoolTest::SetUp();
        faulty = &AddPort(0, Direction::kOut, 1);
        AddPort(1, Direction::kOut, 2);
        AddDialEntry(1, "ATDT555", 10, 1);
        AddDialEntry(2, "ATDT556", 10, 2);
        AddDialEntry(3, "ATDT557", 10, 1);
        world.SetOutcome("557", sim::Outcome::kNoAnswer, 3600 * 1000);
        world.AddStation("555");
        world.AddStation("556");
        Settings.diagnose = 1;
    }

    // Dials entry `entry`, expects the line and hangs it up again.
    void DialAndHangUp(uint16_t entry) {
        uint16_t reference = kNoReference;
        ASSERT_EQ(KORVA_Connect(entry, 100, &reference), KORVA_STATUS_OK);
        EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    }

    sim::Modem* faulty = nullptr;
};

TEST_P(DialFaultTest, EndsInItsStatusAndThePoolGoesOn) {
    const DialFault& c = GetParam();
    if (c.when == When::kBeforeOpen) {
        faulty->SetFault(c.fault);
        InitPortsAndModems();
        EXPECT_EQ(Ports[0].device.load(), nullptr);
        ASSERT_NE(Ports[1].device.load(), nullptr);
        Settings.ready = 1;
    } else {
        OpenPorts();
    }
    if (c.when == When::kBeforeDial) faulty->SetFault(c.fault);
    // The carrier goes while the modem waits for the far end.
    std::atomic<bool> dialDone{false};
    std::thread dropper;
    const uint16_t entry = c.when == When::kWhileDialling ? 3 : 1;
    if (c.when == When::kWhileDialling) {
        dropper = std::thread([&] {
            while (!dialDone && faulty->State() != sim::ModemState::kDialing)
                std::this_thread::yield();
            if (!dialDone) faulty->DropCarrier();
        });
    }
    uint16_t reference = 0xBEEF;
    EXPECT_EQ(KORVA_Connect(entry, 100, &reference), c.status);
    dialDone = true;
    if (dropper.joinable()) dropper.join();
    EXPECT_EQ(reference, 0xBEEF);
    if (!c.message.empty()) {
        EXPECT_TRUE(LogContains(c.message)) << c.message;
    }
    EXPECT_EQ(DynamicFlags(0), 0u);
    for (const ConnectionEntry& entry : Connections)
        EXPECT_EQ(entry.flags.load(), 0u);

    // The other modem serves as before.
    DialAndHangUp(2);
    // And the faulty one once its fault has gone.
    if (c.recovers) {
        if (c.when != When::kWhileDialling) faulty->ClearFault(c.fault);
        DialAndHangUp(1);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DialFaultTest, ::testing::ValuesIn(kDialFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
