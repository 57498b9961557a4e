// The forwarding spool: bounded, in order, kept across restarts, and a damaged file
// set aside without anything of it sent.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/forward/forward_spool.h"
#include "engine/forward/syslog_message.h"
#include "support/engine_fixture.h"

namespace {

class ForwardSpoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeTestFolder();
        path = folder + kSpoolFileName;
    }
    void TearDown() override { CloseForwardSpool(spool); }

    std::string Message(int k) { return "<109>1 - host Quorvel - OPEN - message " + std::to_string(k) + std::string(k % 37, '.'); }

    // Everything the spool holds, oldest first, with the sequence numbers.
    std::vector<std::pair<uint64_t, std::string>> ReadAll()
    {
        std::vector<std::pair<uint64_t, std::string>> records;
        SpoolCursor cursor = SpoolStart(spool);
        std::array<char, kSyslogMessageCapacity> bytes{};
        std::size_t length = 0;
        uint64_t sequence = 0;
        SpoolRead read;
        while ((read = ReadSpoolRecord(spool, cursor, bytes, &length, &sequence)) == SpoolRead::Record)
            records.emplace_back(sequence, std::string(bytes.data(), length));
        EXPECT_EQ(read, SpoolRead::End);
        return records;
    }

    std::string folder, path;
    ForwardSpool spool{INVALID_HANDLE_VALUE};
};

}  // namespace

TEST_F(ForwardSpoolTest, AFullSpoolDropsTheOldestAndCountsThem)
{
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 16384), SpoolOpened::Empty);
    const int appended = 1000;
    for (int k = 0; k < appended; ++k)
        ASSERT_TRUE(AppendToSpool(spool, Message(k)));
    SaveSpoolHeader(spool);
    const auto records = ReadAll();
    ASSERT_FALSE(records.empty());
    EXPECT_LE(spool.used, spool.capacity);
    EXPECT_EQ(records.size() + spool.dropped, static_cast<std::size_t>(appended)) << "every message kept or counted";
    // The newest survive, in order, each as it was put in.
    const int first = appended - static_cast<int>(records.size());
    for (std::size_t k = 0; k < records.size(); ++k) {
        EXPECT_EQ(records[k].second, Message(first + static_cast<int>(k)));
        EXPECT_EQ(records[k].first, static_cast<uint64_t>(first + static_cast<int>(k)) + 1);
    }
    LARGE_INTEGER size{};
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
    size.LowPart = data.nFileSizeLow;
    size.HighPart = static_cast<LONG>(data.nFileSizeHigh);
    EXPECT_LE(static_cast<uint64_t>(size.QuadPart), kSpoolHeaderBytes + 16384) << "the file never outgrows its ring";
    // A message longer than the whole ring cannot wait: counted, nothing else lost.
    ForwardSpool tiny{INVALID_HANDLE_VALUE};
    ASSERT_EQ(OpenForwardSpool(tiny, (folder + "tiny.spool").c_str(), 4096), SpoolOpened::Empty);
    ASSERT_TRUE(AppendToSpool(tiny, "short"));
    EXPECT_TRUE(AppendToSpool(tiny, std::string(5000, 'x')));
    EXPECT_EQ(tiny.count, 1u);
    EXPECT_EQ(tiny.dropped, 1u);
    CloseForwardSpool(tiny);
}

TEST_F(ForwardSpoolTest, MessagesWaitingWhenTheProgramStopsAreThereAfterARestart)
{
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 8192), SpoolOpened::Empty);
    // Round the ring's end several times, so that records wrap.
    for (int k = 0; k < 300; ++k) {
        ASSERT_TRUE(AppendToSpool(spool, Message(k)));
        if (k % 3 == 2)
            RemoveSpoolThrough(spool, spool.firstSequence + 1);
    }
    CountDropped(spool, 2);
    SaveSpoolHeader(spool);
    const auto before = ReadAll();
    ASSERT_GT(before.size(), 20u);
    const uint64_t droppedBefore = spool.dropped;
    CloseForwardSpool(spool);

    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 8192), SpoolOpened::Waiting);
    EXPECT_EQ(ReadAll(), before) << "the same records, in order, with their numbers";
    EXPECT_EQ(spool.dropped, droppedBefore) << "the drops not yet told are remembered";

    // Delivered ones leave; a restart finds only the rest. Once empty, the file shrinks.
    RemoveSpoolThrough(spool, before[4].first);
    SaveSpoolHeader(spool);
    CloseForwardSpool(spool);
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 8192), SpoolOpened::Waiting);
    const auto after = ReadAll();
    ASSERT_EQ(after.size(), before.size() - 5);
    EXPECT_EQ(after.front(), before[5]);
    RemoveSpoolThrough(spool, after.back().first);
    ForgetDropped(spool, spool.dropped);
    SaveSpoolHeader(spool);
    CloseForwardSpool(spool);
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 8192), SpoolOpened::Empty);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, kSpoolHeaderBytes);
    ASSERT_TRUE(AppendToSpool(spool, "next"));
    EXPECT_EQ(ReadAll().front().first, before.back().first + 1) << "numbers keep growing across the restart";
}

TEST_F(ForwardSpoolTest, AFileWhoseHeaderIsDamagedIsSetAsideAndADamagedRecordCostsItselfAlone)
{
    RecordTrial("faults", "the forwarding spool cut short, its header changed, garbage, another program's file; a "
                "byte of one record changed at the start and while running",
                "a file whose header is damaged kept aside and a new spool started; a damaged record dropped and "
                "counted, every other one kept in order");
    // A whole spool to damage in several ways.
    auto makeSpool = [&] {
        CloseForwardSpool(spool);
        DeleteFileA(path.c_str());
        EXPECT_EQ(OpenForwardSpool(spool, path.c_str(), 65536), SpoolOpened::Empty);
        for (int k = 0; k < 50; ++k)
            AppendToSpool(spool, Message(k));
        CloseForwardSpool(spool);
        return ReadWholeFile(path);
    };
    const std::string good = makeSpool();
    ASSERT_GT(good.size(), 1000u);
    struct Damage {
        const char* what;
        std::string content;
    };
    std::string header = good;
    header[8] ^= 0x01;  // the ring's size
    std::string garbage(5000, '\0');
    for (std::size_t k = 0; k < garbage.size(); ++k)
        garbage[k] = static_cast<char>((k * 7919) % 251);
    const Damage damages[] = {
        {"cut short", good.substr(0, good.size() - 40)},
        {"only part of the header", good.substr(0, 30)},
        {"the header changed", header},
        {"garbage", garbage},
        {"another program's text", "[main]\r\nsavelogs=1\r\n"},
    };
    for (const Damage& damage : damages) {
        CloseForwardSpool(spool);
        WriteWholeFile(path, damage.content);
        DeleteFileA((path + kSpoolSetAsideSuffix).c_str());
        ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 65536), SpoolOpened::SetAside) << damage.what;
        EXPECT_EQ(ReadWholeFile(path + kSpoolSetAsideSuffix), damage.content) << damage.what << ": kept as it was";
        EXPECT_TRUE(ReadAll().empty()) << damage.what;
        ASSERT_TRUE(AppendToSpool(spool, "after")) << damage.what << ": the new spool works";
        EXPECT_EQ(ReadAll().size(), 1u);
    }

    // One byte of one record's text, and one of another's header.
    for (const std::size_t at : {good.size() / 2, static_cast<std::size_t>(kSpoolHeaderBytes + 2)}) {
        std::string flipped = good;
        flipped[at] ^= 0x20;
        CloseForwardSpool(spool);
        WriteWholeFile(path, flipped);
        ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 65536), SpoolOpened::Repaired) << at;
        EXPECT_EQ(spool.lastRepairLost, 1u);
        EXPECT_EQ(spool.dropped, 1u) << "counted, for the collector";
        EXPECT_EQ(ReadAll().size(), 49u) << at;
        EXPECT_EQ(ReadWholeFile(path + kSpoolSetAsideSuffix), flipped) << "the damaged file kept aside";
    }

    // Damage found while running (a disk that gives back other bytes): the read says
    // so, and the repair keeps the rest.
    makeSpool();
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 65536), SpoolOpened::Waiting);
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(kSpoolHeaderBytes + kSpoolRecordHeaderBytes + 3);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(spool.file, "#", 1, &written, &place));
    SpoolCursor cursor = SpoolStart(spool);
    std::array<char, kSyslogMessageCapacity> bytes{};
    std::size_t length = 0;
    uint64_t sequence = 0;
    EXPECT_EQ(ReadSpoolRecord(spool, cursor, bytes, &length, &sequence), SpoolRead::Corrupt);
    EXPECT_EQ(RepairSpool(spool), SpoolOpened::Repaired);
    const auto kept = ReadAll();
    ASSERT_EQ(kept.size(), 49u);
    EXPECT_EQ(kept.front().second, Message(1)) << "the first, damaged, is the one dropped";
}

// A busy spool with one changed byte loses that one message, and says so.
TEST_F(ForwardSpoolTest, TenThousandMessagesWithOneByteChangedKeepAllButOne)
{
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 8 * kSpoolMegabyte), SpoolOpened::Empty);
    for (int k = 0; k < 10000; ++k)
        ASSERT_TRUE(AppendToSpool(spool, Message(k)));
    CloseForwardSpool(spool);
    std::string content = ReadWholeFile(path);
    const std::size_t at = content.find("message 6543.");
    ASSERT_NE(at, std::string::npos);
    content[at + 3] ^= 0x01;
    WriteWholeFile(path, content);
    ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 8 * kSpoolMegabyte), SpoolOpened::Repaired);
    const auto records = ReadAll();
    ASSERT_EQ(records.size(), 9999u);
    EXPECT_EQ(spool.dropped, 1u);
    for (std::size_t k = 0; k < records.size(); ++k)
        ASSERT_EQ(records[k].second, Message(static_cast<int>(k < 6543 ? k : k + 1))) << k;
}

// A kill at any write of an append (the record, the header that lets go of the
// oldest, the header that counts the new one) loses at most the record appended.
TEST_F(ForwardSpoolTest, AKillAtAnyStepOfAnAppendLosesAtMostThatRecord)
{
    RecordTrial("faults", "a kill played at each write of appends to a full spool ring",
                "reopened, the spool holds every record it held before the append, in order");
    for (int64_t writes = 0; writes < 6; ++writes) {
        CloseForwardSpool(spool);
        DeleteFileA(path.c_str());
        ASSERT_EQ(OpenForwardSpool(spool, path.c_str(), 4096), SpoolOpened::Empty);
        int appended = 0;
        while (spool.dropped == 0)
            ASSERT_TRUE(AppendToSpool(spool, Message(appended++)));
        SaveSpoolHeader(spool);
        const auto before = ReadAll();
        LimitSpoolWritesForTests(writes);
        AppendToSpool(spool, Message(appended));
        SaveSpoolHeader(spool);
        LimitSpoolWritesForTests(-1);
        CloseHandle(spool.file);  // killed: nothing more written
        spool.file = INVALID_HANDLE_VALUE;
        const SpoolOpened reopened = OpenForwardSpool(spool, path.c_str(), 4096);
        EXPECT_EQ(reopened, SpoolOpened::Waiting) << "killed after " << writes << " writes";
        const auto after = ReadAll();
        // The oldest may have been let go to make room; what is there is in order and whole.
        ASSERT_FALSE(after.empty());
        const auto first = std::find(before.begin(), before.end(), after.front());
        ASSERT_NE(first, before.end()) << writes;
        std::vector<std::pair<uint64_t, std::string>> expected(first, before.end());
        if (after.size() == expected.size() + 1)
            expected.emplace_back(after.back().first, Message(appended));
        EXPECT_EQ(after, expected) << "killed after " << writes << " writes";
    }
}
