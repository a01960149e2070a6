#include <array>
#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "pool/mutex_holder.h"
#include "pool/pool.h"
#include "support/driver_test.h"
#include "support/error_numbers.h"

namespace {

class ConnectionTableTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
    }

    uint16_t Add(int kind, uint8_t port, uint8_t vpi = 0, uint8_t plc = 0) {
        uint16_t reference = 0;
        EXPECT_EQ(AddConnection(kind, port, vpi, plc, &reference), 0);
        return reference;
    }

    static unsigned UsedEntries() {
        unsigned used = 0;
        for (const ConnectionEntry& entry : Connections)
            used += entry.flags != 0 ? 1 : 0;
        return used;
    }
};

TEST_F(ConnectionTableTest, NewEntriesRecordDirectionPortAndStation) {
    struct Case {
        int kind;
        uint8_t port, vpi, plc;
        uint32_t flags;
    };
    const Case cases[] = {
        {2, 5, 3, 17, 0x0B},     // answered call
        {4, 6, 0, 0, 0x0D},      // dialled call
        {0x102, 7, 1, 2, 0x0B},  // only the low byte of the kind counts
        {0, 31, 0, 0, 0x0D},     // anything but 2 is outgoing
    };
    uint16_t expected = 0;
    for (const Case& c : cases) {
        uint16_t reference = Add(c.kind, c.port, c.vpi, c.plc);
        ASSERT_EQ(reference, expected++) << c.kind;
        const ConnectionEntry& entry = Connections[reference];
        EXPECT_EQ(entry.flags, c.flags) << c.kind;
        EXPECT_EQ(entry.port, c.port);
        EXPECT_EQ(entry.vpi, c.vpi);
        EXPECT_EQ(entry.plc, c.plc);
    }
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(ConnectionTableTest, FreedEntryIsTheNextOneTaken) {
    EXPECT_EQ(Add(4, 1), 0);
    EXPECT_EQ(Add(2, 2, 9, 44), 1);
    DeleteConnection(1);
    const ConnectionEntry& freed = Connections[1];
    EXPECT_EQ(freed.flags, 0u);
    EXPECT_EQ(freed.port, kNoPort);
    EXPECT_EQ(freed.vpi, 9);  // kept: nothing decides on them
    EXPECT_EQ(freed.plc, 44);
    DeleteConnection(0);
    EXPECT_EQ(Add(4, 3), 0);
    EXPECT_EQ(Add(4, 4), 1);
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(ConnectionTableTest, FullTableRefusesAndChangesNothing) {
    for (unsigned i = 0; i < kConnectionCount; ++i)
        ASSERT_EQ(Add(4, i % 32), i);
    uint16_t reference = 0;
    EXPECT_EQ(AddConnection(2, 9, 1, 1, &reference), 1);
    EXPECT_EQ(reference, kNoReference);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{{32, "KORVA> AddConnection() ERROR all connections used!"}}));
    for (unsigned i = 0; i < kConnectionCount; ++i) {
        EXPECT_EQ(Connections[i].flags, 0x0Du);
        EXPECT_EQ(Connections[i].port, i % 32);
    }
}

TEST_F(ConnectionTableTest, AbandonedMutexIsReportedAndTheEntryAllocated) {
    if (kThreadSanitizer) GTEST_SKIP() << kOwnerDiedUnderTsan;
    ASSERT_TRUE(AbandonInChildProcess("KORVA_MUTEX"));
    EXPECT_EQ(Add(2, 4, 2, 1), 0);
    EXPECT_EQ(Connections[0].flags, 0x0Bu);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{{32, "KORVA> AddConnection() sem req failed rc 128"}}));
    MutexHolder other(ConnectionMutex);  // given back after the allocation
    EXPECT_EQ(other.result(), platform::kWaitObject0);
}

// While another thread keeps the connection mutex past the bound, no entry is handed out (two
// threads could otherwise take the same one), but an entry is still freed by its owner.
TEST_F(ConnectionTableTest, WithoutTheMutexAllocationIsRefusedAndFreeingGoesOn) {
    EXPECT_EQ(Add(4, 8), 0);
    {
        MutexHolder other(ConnectionMutex);
        uint16_t reference = 0;
        EXPECT_EQ(AddConnection(4, 9, 0, 0, &reference), 1);
        EXPECT_EQ(reference, kNoReference);
        DeleteConnection(0);
    }
    EXPECT_EQ(UsedEntries(), 0u);
    EXPECT_EQ(Connections[0].port, kNoPort);
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{"KORVA> AddConnection() time-out waiting for conn. sem",
                                        "KORVA> AddConnection() sem req failed rc 258",
                                        "KORVA> DeleteConnection() time-out waiting for conn. sem",
                                        "KORVA> DeleteConnection() sem req failed rc 258"}));
    EXPECT_EQ(Add(4, 9), 0);
}

using ConnectionTableWithoutMutex = DriverTest;

// InitTables has not run: the waits fail, allocation is refused and freeing still frees.
TEST_F(ConnectionTableWithoutMutex, FailsCleanly) {
    Connections[3].flags = kConnUsed | kConnIncoming | kConnConnected;
    Connections[3].port = 2;
    uint16_t reference = 0;
    EXPECT_EQ(AddConnection(4, 1, 0, 0, &reference), 1);
    EXPECT_EQ(reference, kNoReference);
    DeleteConnection(3);
    EXPECT_EQ(Connections[3].flags, 0u);
    EXPECT_EQ(Connections[3].port, kNoPort);
    const std::string noMutex = std::to_string(kErrorNoMutex);
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{
                  "KORVA> AddConnection() error waiting for conn. sem, WaitForSingleObject() err " +
                      noMutex,
                  "KORVA> AddConnection() sem req failed rc 4294967295",
                  "KORVA> DeleteConnection() error waiting for conn. sem, WaitForSingleObject() "
                  "err " +
                      noMutex,
                  "KORVA> DeleteConnection() sem req failed rc 4294967295"}));
}

TEST_F(ConnectionTableTest, ReferencePastTheTableFreesNothing) {
    EXPECT_EQ(Add(4, 1), 0);
    DeleteConnection(kNoReference);
    DeleteConnection(0xFFFF);
    EXPECT_EQ(UsedEntries(), 1u);
}

// Threads allocating and freeing at once never hold the same entry together, and every entry
// they took is free again at the end.
TEST_F(ConnectionTableTest, ConcurrentUsersNeverShareAnEntry) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    constexpr int kHeld = 3;  // entries each thread keeps at once
    std::array<std::atomic<int>, kConnectionCount> owner{};
    std::atomic<int> shared{0}, wrongEntry{0}, allocated{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            const uint8_t port = static_cast<uint8_t>(t);
            for (int round = 0; round < kRounds; ++round) {
                uint16_t held[kHeld];
                int count = 0;
                for (int i = 0; i < kHeld; ++i) {
                    uint16_t reference = kNoReference;
                    if (AddConnection(t % 2 == 0 ? 2 : 4, port, port, port, &reference) != 0) {
                        // A refusal is allowed only for a wait past the bound, never for a
                        // full table: at most kThreads * kHeld entries are ever in use.
                        if (reference != kNoReference) ++wrongEntry;
                        continue;
                    }
                    ++allocated;
                    int expected = 0;
                    if (!owner[reference].compare_exchange_strong(expected, t)) ++shared;
                    held[count++] = reference;
                }
                for (int i = 0; i < count; ++i) {
                    const ConnectionEntry& entry = Connections[held[i]];
                    if (entry.port != port || (entry.flags & kConnConnected) == 0) ++wrongEntry;
                    owner[held[i]].store(0);
                    DeleteConnection(held[i]);
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(shared, 0);
    EXPECT_EQ(wrongEntry, 0);
    EXPECT_GT(allocated, 0);
    EXPECT_EQ(UsedEntries(), 0u);
    for (const std::string& line : CapturedTexts())
        EXPECT_EQ(line.find("all connections used"), std::string::npos) << line;
}

}  // namespace
