// The forwarding spool: bounded, in order, kept across restarts, and a damaged file
// set aside without anything of it sent.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/forward_spool.h"
#include "engine/syslog_message.h"
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

TEST_F(ForwardSpoolTest, ADamagedFileIsSetAsideAndNothingOfItIsRead)
{
    RecordTrial("faults", "the forwarding spool cut short, its header or a record changed, garbage, another "
                "program's file, and a record read back wrong while running",
                "the file kept aside as it was, a new spool started, nothing of the old one read");
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
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x20;  // one byte of a record
    std::string header = good;
    header[8] ^= 0x01;  // the ring's size
    std::string garbage(5000, '\0');
    for (std::size_t k = 0; k < garbage.size(); ++k)
        garbage[k] = static_cast<char>((k * 7919) % 251);
    const Damage damages[] = {
        {"cut short", good.substr(0, good.size() - 40)},
        {"only part of the header", good.substr(0, 30)},
        {"a byte of a record changed", flipped},
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

    // Damage found while running (a disk that gives back other bytes): the read says
    // so, and the file set aside makes room for a new one.
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
    EXPECT_EQ(SetSpoolAside(spool), SpoolOpened::Empty);
    EXPECT_TRUE(ReadAll().empty());
}
