// The messages between the service and its window: every kind comes back as it went,
// frames come together however the bytes are split, and every hostile input (a cut
// frame, a bad header, a count, text or value out of its range) is refused whole.
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/watch/news.h"
#include "engine/watch/share_denies.h"
#include "engine/link/wire.h"
#include "engine/history/history_store.h"
#include "rules/tripwires.h"
#include "support/engine_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <typename Message, typename Encode>
Bytes Encoded(const Message& message, Encode encode)
{
    static Bytes room;
    room.assign(kMaxFramePayload + 1, 0);
    PayloadWriter writer{room};
    encode(message, writer);
    EXPECT_FALSE(writer.failed);
    return Bytes(room.begin(), room.begin() + static_cast<long>(writer.used));
}

Bytes Built(const std::function<void(PayloadWriter&)>& write)
{
    Bytes room(kMaxFramePayload * 2);
    PayloadWriter writer{room};
    write(writer);
    EXPECT_FALSE(writer.failed) << "the test's own payload did not fit";
    room.resize(writer.used);
    return room;
}

Bytes FrameOf(WireKind kind, const Bytes& payload)
{
    Bytes room(kMaxFrameBytes);
    PayloadWriter writer = StartFrame(room);
    for (const uint8_t byte : payload)
        PutU8(writer, byte);
    const auto frame = FinishFrame(writer, kind);
    return {frame.begin(), frame.end()};
}

Bytes Header(uint32_t magic, uint16_t version, uint16_t kind, uint32_t length)
{
    return Built([&](PayloadWriter& w) {
        PutU32(w, magic);
        PutU16(w, version);
        PutU16(w, kind);
        PutU32(w, length);
    });
}

// Units written as they are, a NUL or a count past any limit included.
void PutRawWide(PayloadWriter& writer, std::wstring_view units)
{
    PutU32(writer, static_cast<uint32_t>(units.size()));
    for (const wchar_t unit : units)
        PutU16(writer, static_cast<uint16_t>(unit));
}

std::wstring Units(std::size_t count, wchar_t first = L'A')
{
    std::wstring text(count, L'x');
    for (std::size_t i = 0; i < count; ++i)
        text[i] = static_cast<wchar_t>(first + i % 26);
    return text;
}

template <std::size_t Size>
void Fill(std::array<wchar_t, Size>& dest, std::wstring_view text)
{
    ASSERT_LT(text.size(), Size);
    dest = {};
    std::copy(text.begin(), text.end(), dest.begin());
}

template <std::size_t Size>
void Fill(std::array<char, Size>& dest, std::string_view text)
{
    ASSERT_LT(text.size(), Size);
    dest = {};
    std::copy(text.begin(), text.end(), dest.begin());
}

// Every frame the assembler yields from `stream` fed in the given pieces.
struct Assembled {
    std::vector<std::pair<WireKind, Bytes>> frames;
    bool malformed = false;
};
Assembled Assemble(FrameAssembler& assembler, const Bytes& stream, const std::vector<std::size_t>& cuts)
{
    Assembled out;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (const std::size_t end : ends) {
        std::span<const uint8_t> piece(stream.data() + from, end - from);
        from = end;
        while (!piece.empty() && !out.malformed) {
            Frame frame{};
            std::size_t used = 0;
            const FrameStep step = AssembleFrame(assembler, piece, &used, &frame);
            EXPECT_LE(used, piece.size());
            piece = piece.subspan(used);
            if (step == FrameStep::Malformed)
                out.malformed = true;
            else if (step == FrameStep::Whole)
                out.frames.emplace_back(frame.kind, Bytes(frame.payload.begin(), frame.payload.end()));
        }
    }
    return out;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StartFrameAssembler(toService, WireDirection::ToService));
        ASSERT_TRUE(StartFrameAssembler(toWindow, WireDirection::ToWindow));
    }
    static FrameAssembler toService;
    static FrameAssembler toWindow;
};
FrameAssembler FrameTest::toService{};
FrameAssembler FrameTest::toWindow{};

// A payload of every kind, each near its limits, for the tests that cut and mutate them.
struct Sample {
    const char* name;
    WireKind kind;
    Bytes payload;
    std::function<bool(std::span<const uint8_t>)> decodes;
    std::function<Bytes(std::span<const uint8_t>)> again;  // decoded, then encoded again
};

template <typename Message, typename Decode, typename Encode>
Sample MakeSample(const char* name, WireKind kind, const Message& message, Decode decode, Encode encode)
{
    // One record of each kind to decode into, made once: some are hundreds of kilobytes.
    static Message* decoded = new Message{};
    Sample sample{name, kind, Encoded(message, encode), {}, {}};
    sample.decodes = [decode](std::span<const uint8_t> payload) { return decode(payload, decoded); };
    sample.again = [decode, encode](std::span<const uint8_t> payload) {
        EXPECT_TRUE(decode(payload, decoded));
        return Encoded(*decoded, encode);
    };
    return sample;
}

void FillList(ComputerList& list, int count, int32_t ticks, const wchar_t* user)
{
    for (int i = 0; i < count; ++i) {
        const std::wstring name = L"PC-" + std::to_wstring(i) + Units(40);
        ASSERT_TRUE(AddComputerWide(list, name.c_str(), i % 2 ? kPermanent : ticks + i, user));
    }
}

std::unique_ptr<WireRules> SampleRules(int perList)
{
    auto rules = std::make_unique<WireRules>();
    rules->blockMode = Whitelist;
    FillList(rules->blacklist, perList, 0, nullptr);
    FillList(rules->whitelist, perList / 2, 6000, nullptr);
    FillList(rules->tripped, perList, 36000, Units(kBlockUserUnits - 1).c_str());
    for (std::size_t slot = 0; slot < rules->tripped.size(); ++slot)
        rules->tripped[slot].deniedShares = static_cast<int32_t>(slot % 2 ? kMaxDeniedShares : slot);
    if (perList > 3) {
        FreeComputer(rules->blacklist, 1);  // a gap: slots are kept, not packed
        FreeComputer(rules->tripped, 0);
    }
    return rules;
}

std::unique_ptr<TripwireRules> SampleTripwires(int baits)
{
    auto rules = std::make_unique<TripwireRules>();
    rules->enabled = 1;
    for (int i = 0; i < baits; ++i) {
        std::string pattern = "*\\canary" + std::to_string(i) + "*.";
        pattern.resize(kBaitPatternUnits - 1, 'x');
        EXPECT_TRUE(AddBaitPattern(*rules, pattern.c_str()));
    }
    rules->burstFiles = kMaxBurstFiles;
    rules->burstSeconds = kMaxBurstSeconds;
    rules->blockMinutes = kMaxTripMinutes;
    rules->denyShares = 1;
    std::string names;
    for (std::size_t i = 0; i < kMaxNeverDenied; ++i)
        names += (i ? "," : "") + std::string("CORP\\backup") + std::to_string(i) + std::string(kBlockUserUnits - 16, 'y');
    SetNeverDenied(*rules, names.c_str());
    EXPECT_EQ(rules->neverDeniedCount, static_cast<int32_t>(kMaxNeverDenied));
    return rules;
}

std::unique_ptr<EngineNews> SampleNews(int connections, int files, int trips, std::size_t length)
{
    auto news = std::make_unique<EngineNews>();
    const std::string text(length, 'n');
    for (int i = 0; i < std::max({connections, files, trips}); ++i) {
        if (i < connections)
            AddAlert(*news, ConnectionAlert, std::to_string(i) + " connected " + text);
        if (i < files)
            AddAlert(*news, FileOpenAlert, std::to_string(i) + " opened " + text);
        if (i < trips)
            AddAlert(*news, TripAlert, std::to_string(i) + " tripped " + text);
    }
    news->activity = 1;
    news->trips = 1;
    return news;
}

WireServers SampleServers(int count)
{
    WireServers servers{};
    servers.count = count;
    for (int i = 0; i < count; ++i) {
        WireServer& server = servers.servers[static_cast<std::size_t>(i)];
        server.id = kMaxRemoteServers - i;  // any order
        std::string name = "fs" + std::to_string(i) + ".example.";
        name.resize(kServerNameUnits - 1, 'q');
        Fill(server.name, name);
        server.state = i % 4;
    }
    return servers;
}

// Every field at an end of its range, the texts as long as they may be.
ForwardSettings SampleForward()
{
    ForwardSettings forward = DefaultForwardSettings();
    forward.enabled = 1;
    Fill(forward.host, std::string(forward.host.size() - 1, 'h'));
    forward.port = 65535;
    forward.transport = ForwardTransport::Relp;
    forward.facility = 23;
    forward.minimum = ForwardMinimum::Actions;
    forward.spoolMegabytes = 4096;
    Fill(forward.webhook, "https://hooks.example/" + std::string(forward.webhook.size() - 23, 'w'));
    forward.webhookFormat = WebhookFormat::Slack;
    return forward;
}

std::unique_ptr<WireCommand> SampleCommand(CommandKind kind)
{
    auto command = std::make_unique<WireCommand>();
    command->id = 0xFEDCBA98u;
    command->kind = kind;
    command->server = kMaxRemoteServers;
    command->fileId = 0xFFFFFFFFu;
    command->list = Whitelist;
    command->ticks = INT32_MAX;
    command->blockMode = Whitelist;
    command->slot = 255;
    switch (kind) {
    case CommandKind::CloseSession:
        Fill(command->name, L"\\\\" + Units(kClientNameUnits - 3));
        Fill(command->user, Units(kClientNameUnits - 1, L'a'));
        break;
    case CommandKind::RemoveShare: Fill(command->name, Units(kClientNameUnits - 1)); break;
    case CommandKind::AddComputer: Fill(command->name, L"pc " + Units(kMaxComputerName - 3)); break;
    case CommandKind::RemoveComputer: Fill(command->name, L"\\\\" + Units(kMaxComputerName)); break;
    case CommandKind::SetTripwires: command->tripwires = *SampleTripwires(static_cast<int>(kMaxBaitPatterns)); break;
    case CommandKind::SetServers:
        command->servers.count = kMaxRemoteServers;
        for (std::size_t i = 0; i < kMaxRemoteServers; ++i)
            Fill(command->servers.names[i], "server" + std::to_string(i));
        break;
    case CommandKind::SetLogGates: command->gates = {0, 1, -7, INT32_MIN}; break;
    case CommandKind::SetForward: command->forward = SampleForward(); break;
    default: break;
    }
    return command;
}

constexpr std::array kCommandKinds = {
    CommandKind::CloseSession,   CommandKind::CloseFile,    CommandKind::RemoveShare,    CommandKind::RefreshShares,
    CommandKind::AddComputer,    CommandKind::RemoveComputer, CommandKind::SetBlockMode, CommandKind::ReleaseTripped,
    CommandKind::SetTripwires,   CommandKind::SetServers,   CommandKind::SetLogGates,    CommandKind::SetForward,
    CommandKind::StopBackfill,   CommandKind::ResumeBackfill,
};

std::vector<Sample> Samples()
{
    std::vector<Sample> samples;
    WireWelcome welcome{kWireVersion, {}};
    Fill(welcome.product, std::string(kProductVersionUnits - 1, '9'));
    samples.push_back(MakeSample("Welcome", WireKind::Welcome, welcome, DecodeWelcome, EncodeWelcome));
    samples.push_back(MakeSample("LogGates", WireKind::LogGates, WireLogGates{1, 0, INT32_MAX, -1}, DecodeLogGates,
                                 EncodeLogGates));
    samples.push_back(MakeSample("Rules", WireKind::Rules, *SampleRules(5), DecodeRules, EncodeRules));
    samples.push_back(MakeSample("Tripwires", WireKind::Tripwires, *SampleTripwires(3), DecodeTripwires, EncodeTripwires));
    samples.push_back(MakeSample("Servers", WireKind::Servers, SampleServers(3), DecodeServers, EncodeServers));
    samples.push_back(MakeSample("LogText", WireKind::LogText, WireLogText{1, "line one\r\nline two\r\n"},
                                 DecodeLogText, EncodeLogText));
    samples.push_back(MakeSample("News", WireKind::News, *SampleNews(3, 2, 1, 20), DecodeNews, EncodeNews));
    samples.push_back(MakeSample("ReadingBegin", WireKind::ReadingBegin,
                                 WireReadingBegin{kMaxRemoteServers, FilesReply, ERROR_MORE_DATA, kMaxReadingFiles},
                                 DecodeReadingBegin, EncodeReadingBegin));
    samples.push_back(MakeSample("CommandDone", WireKind::CommandDone,
                                 WireCommandDone{7, CommandResult::UnknownServer}, DecodeCommandDone,
                                 EncodeCommandDone));
    // What the service read from its settings file, a hand-edited value out of its range included.
    ForwardSettings handEdited = SampleForward();
    handEdited.port = -1;
    handEdited.transport = ForwardTransport::Unknown;
    samples.push_back(MakeSample("Forward", WireKind::Forward, handEdited, DecodeForward, EncodeForward));
    samples.push_back(MakeSample("HistoryState", WireKind::HistoryState,
                                 WireHistoryState{HistoryHealth::Locked, BackfillState::Running, 7, 365, 1ull << 40},
                                 DecodeHistoryState, EncodeHistoryState));
    samples.push_back(MakeSample("Hello", WireKind::Hello, WireHello{kWireVersion}, DecodeHello, EncodeHello));
    samples.push_back(MakeSample("Watch", WireKind::Watch, WireWatch{kMaxRemoteServers, kThisComputer}, DecodeWatch,
                                 EncodeWatch));
    for (const CommandKind kind : kCommandKinds)
        samples.push_back(MakeSample("Command", WireKind::Command, *SampleCommand(kind), DecodeCommand, EncodeCommand));
    return samples;
}

void ExpectSameList(const ComputerList& sent, const ComputerList& got)
{
    EXPECT_EQ(got.inUse, sent.inUse);
    for (std::size_t slot = 0; slot < sent.size(); ++slot) {
        EXPECT_EQ(got[slot].inUse, sent[slot].inUse) << slot;
        if (!sent[slot].inUse)
            continue;
        EXPECT_EQ(std::wstring(got[slot].name.data()), sent[slot].name.data()) << slot;
        EXPECT_EQ(std::wstring(got[slot].user.data()), sent[slot].user.data()) << slot;
        EXPECT_EQ(got[slot].ticksLeft, sent[slot].ticksLeft) << slot;
        EXPECT_EQ(got[slot].deniedShares, sent[slot].deniedShares) << slot;
    }
}

std::vector<std::string> NewestLines(const EngineNews& news, int kind)
{
    std::vector<std::string> lines;
    ForEachNewestAlert(
        news, [&](AlertKind k) { return kind < 0 || k == kind; }, [&](const char* line) { lines.push_back(line); });
    return lines;
}

}  // namespace

// ---- Frames ----

TEST_F(FrameTest, FramesComeTogetherHoweverTheBytesAreSplit)
{
    const Bytes watch = Encoded(WireWatch{3, 0}, EncodeWatch);
    const Bytes hello = Encoded(WireHello{kWireVersion}, EncodeHello);
    Bytes stream = FrameOf(WireKind::Hello, hello);
    const Bytes second = FrameOf(WireKind::Watch, watch);
    stream.insert(stream.end(), second.begin(), second.end());
    const std::vector<std::pair<WireKind, Bytes>> expected = {{WireKind::Hello, hello}, {WireKind::Watch, watch}};

    // Whole, then cut in two at every place, then byte by byte.
    ResetFrameAssembler(toService);
    EXPECT_EQ(Assemble(toService, stream, {}).frames, expected);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        ResetFrameAssembler(toService);
        const Assembled got = Assemble(toService, stream, {cut});
        EXPECT_FALSE(got.malformed) << cut;
        EXPECT_EQ(got.frames, expected) << "cut at " << cut;
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t at = 1; at < stream.size(); ++at)
        everyByte.push_back(at);
    ResetFrameAssembler(toService);
    EXPECT_EQ(Assemble(toService, stream, everyByte).frames, expected);

    // Cut short anywhere, nothing comes out and nothing is wrong yet.
    const Bytes one = FrameOf(WireKind::Watch, watch);
    for (std::size_t length = 0; length < one.size(); ++length) {
        ResetFrameAssembler(toService);
        const Assembled got = Assemble(toService, Bytes(one.begin(), one.begin() + static_cast<long>(length)), {});
        EXPECT_TRUE(got.frames.empty()) << length;
        EXPECT_FALSE(got.malformed) << length;
    }

    // A frame with no payload, and one with the largest payload, are whole too.
    const Bytes largest(kMaxFramePayload, 0x5A);
    Bytes big = FrameOf(WireKind::ReadingEnd, {});
    const Bytes largestFrame = FrameOf(WireKind::LogText, largest);
    big.insert(big.end(), largestFrame.begin(), largestFrame.end());
    ResetFrameAssembler(toWindow);
    const Assembled got = Assemble(toWindow, big, {5, 13, 4096});
    ASSERT_EQ(got.frames.size(), 2u);
    EXPECT_TRUE(got.frames[0].second.empty());
    EXPECT_EQ(got.frames[1].second, largest);
}

TEST_F(FrameTest, ABadHeaderMakesTheStreamMalformedAtOnce)
{
    RecordTrial("bad input", "pipe frame headers: wrong magic, versions 0, 1 and 3, kinds 0, 12, 100, 104 and 65535, "
                             "a kind sent the other way, payload lengths of 1 MiB + 1 and 4 GiB - 1",
                "the stream is malformed as soon as the 12 header bytes are in, without waiting for a payload; "
                "it stays so until reset");
    const auto hello = static_cast<uint16_t>(WireKind::Hello);
    const std::vector<std::pair<const char*, Bytes>> headers = {
        {"magic", Header(0x31505652, kWireVersion, hello, 2)},
        {"magic backwards", Header(0x51565031, kWireVersion, hello, 2)},
        {"version 0", Header(kWireMagic, 0, hello, 2)},
        {"version 1 (before the log gates carried keepdays)", Header(kWireMagic, 1, hello, 2)},
        {"version 2 (before the history's state)", Header(kWireMagic, 2, hello, 2)},
        {"a later version", Header(kWireMagic, kWireVersion + 1, hello, 2)},
        {"kind 0", Header(kWireMagic, kWireVersion, 0, 2)},
        {"kind 12", Header(kWireMagic, kWireVersion, 12, 0)},
        {"kind 100", Header(kWireMagic, kWireVersion, 100, 0)},
        {"kind 104", Header(kWireMagic, kWireVersion, 104, 0)},
        {"kind 65535", Header(kWireMagic, kWireVersion, 0xFFFF, 0)},
        {"a kind the service sends", Header(kWireMagic, kWireVersion, static_cast<uint16_t>(WireKind::News), 0)},
        {"1 MiB + 1", Header(kWireMagic, kWireVersion, static_cast<uint16_t>(WireKind::Command), kMaxFramePayload + 1)},
        {"4 GiB - 1", Header(kWireMagic, kWireVersion, static_cast<uint16_t>(WireKind::Command), 0xFFFFFFFF)},
    };
    for (const auto& [name, header] : headers) {
        ResetFrameAssembler(toService);
        EXPECT_TRUE(Assemble(toService, Bytes(header.begin(), header.end() - 1), {}).frames.empty());
        Frame frame{};
        std::size_t used = 0;
        EXPECT_EQ(AssembleFrame(toService, std::span(header).last(1), &used, &frame), FrameStep::Malformed) << name;
        // Nothing sound is taken after it.
        const Bytes sound = FrameOf(WireKind::Hello, Encoded(WireHello{kWireVersion}, EncodeHello));
        EXPECT_EQ(AssembleFrame(toService, sound, &used, &frame), FrameStep::Malformed) << name;
        EXPECT_EQ(used, 0u);
    }
    // The window refuses what only the window sends.
    ResetFrameAssembler(toWindow);
    EXPECT_TRUE(Assemble(toWindow, FrameOf(WireKind::Command, {}), {}).malformed);
    ResetFrameAssembler(toWindow);
    EXPECT_FALSE(Assemble(toWindow, FrameOf(WireKind::CommandDone, {}), {}).malformed);
}

// ---- Messages ----

TEST(Wire, MessagesFromTheServiceComeBackAsTheyWent)
{
    WireWelcome welcome{kWireVersion, {}};
    Fill(welcome.product, "1.2.0.0");
    WireWelcome gotWelcome{};
    ASSERT_TRUE(DecodeWelcome(Encoded(welcome, EncodeWelcome), &gotWelcome));
    EXPECT_STREQ(gotWelcome.product.data(), "1.2.0.0");

    WireLogGates gates{0, 1, 5, INT32_MIN, 365};  // as the settings hold them, whatever they hold
    WireLogGates gotGates{};
    ASSERT_TRUE(DecodeLogGates(Encoded(gates, EncodeLogGates), &gotGates));
    EXPECT_EQ(std::memcmp(&gates, &gotGates, sizeof(gates)), 0);

    // Full tables, the longest names and users: still one frame.
    const auto rules = SampleRules(static_cast<int>(kComputerListSlots));
    const Bytes rulesPayload = Encoded(*rules, EncodeRules);
    EXPECT_LT(rulesPayload.size(), kMaxFramePayload);
    auto gotRules = std::make_unique<WireRules>();
    ASSERT_TRUE(DecodeRules(rulesPayload, gotRules.get()));
    EXPECT_EQ(gotRules->blockMode, Whitelist);
    ExpectSameList(rules->blacklist, gotRules->blacklist);
    ExpectSameList(rules->whitelist, gotRules->whitelist);
    ExpectSameList(rules->tripped, gotRules->tripped);
    const auto sparse = SampleRules(7);
    ASSERT_TRUE(DecodeRules(Encoded(*sparse, EncodeRules), gotRules.get()));
    ExpectSameList(sparse->blacklist, gotRules->blacklist);
    ExpectSameList(sparse->tripped, gotRules->tripped);

    const auto tripwires = SampleTripwires(static_cast<int>(kMaxBaitPatterns));
    auto gotTripwires = std::make_unique<TripwireRules>();
    ASSERT_TRUE(DecodeTripwires(Encoded(*tripwires, EncodeTripwires), gotTripwires.get()));
    EXPECT_EQ(gotTripwires->enabled, 1);
    EXPECT_EQ(gotTripwires->baitCount, tripwires->baitCount);
    EXPECT_EQ(gotTripwires->baits, tripwires->baits);
    EXPECT_EQ(gotTripwires->folded, tripwires->folded) << "the folded patterns are made again, as matching needs them";
    EXPECT_EQ(gotTripwires->burstFiles, kMaxBurstFiles);
    EXPECT_EQ(gotTripwires->burstSeconds, kMaxBurstSeconds);
    EXPECT_EQ(gotTripwires->blockMinutes, kMaxTripMinutes);
    EXPECT_EQ(gotTripwires->denyShares, 1);
    EXPECT_EQ(gotTripwires->neverDeniedCount, tripwires->neverDeniedCount);
    EXPECT_EQ(gotTripwires->neverDenied, tripwires->neverDenied);

    const WireServers servers = SampleServers(kMaxRemoteServers);
    WireServers gotServers{};
    ASSERT_TRUE(DecodeServers(Encoded(servers, EncodeServers), &gotServers));
    ASSERT_EQ(gotServers.count, kMaxRemoteServers);
    for (std::size_t i = 0; i < kMaxRemoteServers; ++i) {
        EXPECT_EQ(gotServers.servers[i].id, servers.servers[i].id);
        EXPECT_STREQ(gotServers.servers[i].name.data(), servers.servers[i].name.data());
        EXPECT_EQ(gotServers.servers[i].state, servers.servers[i].state);
    }

    const std::string whole(kLogTextCapacity, 'L');
    WireLogText gotText{};
    const Bytes textPayload = Encoded(WireLogText{1, whole}, EncodeLogText);
    ASSERT_TRUE(DecodeLogText(textPayload, &gotText));
    EXPECT_EQ(gotText.reset, 1);
    EXPECT_EQ(gotText.text, whole);

    // More lines of a kind than are kept: the newest go, in the order they came.
    const auto news = SampleNews(30, 4, static_cast<int>(kAlertLinesKept), kAlertTextUnits - 12);
    const Bytes newsPayload = Encoded(*news, EncodeNews);
    EXPECT_LT(newsPayload.size(), kMaxFramePayload);
    auto gotNews = std::make_unique<EngineNews>();
    ASSERT_TRUE(DecodeNews(newsPayload, gotNews.get()));
    EXPECT_EQ(gotNews->activity, 1);
    EXPECT_EQ(gotNews->fileOpens, 0);
    EXPECT_EQ(gotNews->trips, 1);
    for (int kind = -1; kind < kAlertKinds; ++kind)
        EXPECT_EQ(NewestLines(*gotNews, kind), NewestLines(*news, kind)) << "kind " << kind;
    EXPECT_EQ(NewestLines(*gotNews, ConnectionAlert).front().substr(0, 3), "5 c");
    AddAlert(*gotNews, FileOpenAlert, "later");
    EXPECT_EQ(NewestLines(*gotNews, -1).back(), "later") << "a line added after them is the newest";

    WireReadingBegin begin{};
    ASSERT_TRUE(DecodeReadingBegin(Encoded(WireReadingBegin{7, SharesReply, ERROR_ACCESS_DENIED, 0}, EncodeReadingBegin),
                                   &begin));
    EXPECT_EQ(begin.server, 7);
    EXPECT_EQ(begin.kind, SharesReply);
    EXPECT_EQ(begin.status, static_cast<NET_API_STATUS>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DecodeReadingEnd({}));

    WireHistoryState history{};
    ASSERT_TRUE(DecodeHistoryState(
        Encoded(WireHistoryState{HistoryHealth::ServiceOwned, BackfillState::Done, 365, 365, UINT64_MAX},
                EncodeHistoryState),
        &history));
    EXPECT_EQ(history.health, HistoryHealth::ServiceOwned);
    EXPECT_EQ(history.backfill, BackfillState::Done);
    EXPECT_EQ(history.filesDone, 365u);
    EXPECT_EQ(history.linesRead, UINT64_MAX);

    WireCommandDone done{};
    ASSERT_TRUE(DecodeCommandDone(Encoded(WireCommandDone{0xFFFFFFFF, CommandResult::Refused}, EncodeCommandDone), &done));
    EXPECT_EQ(done.command, 0xFFFFFFFFu);
    EXPECT_EQ(done.result, CommandResult::Refused);
}

TEST(Wire, MessagesFromTheWindowComeBackAsTheyWent)
{
    WireHello hello{};
    ASSERT_TRUE(DecodeHello(Encoded(WireHello{kWireVersion}, EncodeHello), &hello));
    WireWatch watch{};
    ASSERT_TRUE(DecodeWatch(Encoded(WireWatch{kThisComputer, kMaxRemoteServers}, EncodeWatch), &watch));
    EXPECT_EQ(watch.monitoring, kThisComputer);
    EXPECT_EQ(watch.shares, kMaxRemoteServers);

    for (const CommandKind kind : kCommandKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        const auto sent = SampleCommand(kind);
        auto got = std::make_unique<WireCommand>();
        ASSERT_TRUE(DecodeCommand(Encoded(*sent, EncodeCommand), got.get()));
        EXPECT_EQ(got->id, sent->id);
        EXPECT_EQ(got->kind, kind);
        switch (kind) {
        case CommandKind::CloseSession:
            EXPECT_EQ(got->server, sent->server);
            EXPECT_EQ(got->name, sent->name);
            EXPECT_EQ(got->user, sent->user);
            break;
        case CommandKind::CloseFile:
            EXPECT_EQ(got->server, sent->server);
            EXPECT_EQ(got->fileId, sent->fileId);
            break;
        case CommandKind::RemoveShare:
            EXPECT_EQ(got->server, sent->server);
            EXPECT_EQ(got->name, sent->name);
            break;
        case CommandKind::RefreshShares: EXPECT_EQ(got->server, sent->server); break;
        case CommandKind::AddComputer:
            EXPECT_EQ(got->list, Whitelist);
            EXPECT_EQ(got->name, sent->name);
            EXPECT_EQ(got->ticks, INT32_MAX);
            break;
        case CommandKind::RemoveComputer:
            EXPECT_EQ(got->list, Whitelist);
            EXPECT_EQ(got->name, sent->name);
            break;
        case CommandKind::SetBlockMode: EXPECT_EQ(got->blockMode, Whitelist); break;
        case CommandKind::ReleaseTripped: EXPECT_EQ(got->slot, 255); break;
        case CommandKind::SetTripwires:
            EXPECT_EQ(got->tripwires.baitCount, sent->tripwires.baitCount);
            EXPECT_EQ(got->tripwires.baits, sent->tripwires.baits);
            EXPECT_EQ(got->tripwires.folded, sent->tripwires.folded);
            EXPECT_EQ(got->tripwires.blockMinutes, sent->tripwires.blockMinutes);
            break;
        case CommandKind::SetServers:
            EXPECT_EQ(got->servers.count, kMaxRemoteServers);
            EXPECT_EQ(got->servers.names, sent->servers.names);
            break;
        case CommandKind::SetLogGates:
            EXPECT_EQ(std::memcmp(&got->gates, &sent->gates, sizeof(got->gates)), 0);
            break;
        case CommandKind::SetForward:
            EXPECT_EQ(got->forward.enabled, 1);
            EXPECT_EQ(got->forward.host, sent->forward.host);
            EXPECT_EQ(got->forward.port, 65535);
            EXPECT_EQ(got->forward.transport, ForwardTransport::Relp);
            EXPECT_EQ(got->forward.facility, 23);
            EXPECT_EQ(got->forward.minimum, ForwardMinimum::Actions);
            EXPECT_EQ(got->forward.spoolMegabytes, 4096);
            EXPECT_EQ(got->forward.webhook, sent->forward.webhook);
            EXPECT_EQ(got->forward.webhookFormat, WebhookFormat::Slack);
            break;
        case CommandKind::StopBackfill:
        case CommandKind::ResumeBackfill: break;
        }
    }
    // A permanent block is a command too, and a temporary one of one tick.
    for (const int32_t ticks : {kPermanent, 1}) {
        auto add = SampleCommand(CommandKind::AddComputer);
        add->ticks = ticks;
        auto got = std::make_unique<WireCommand>();
        ASSERT_TRUE(DecodeCommand(Encoded(*add, EncodeCommand), got.get()));
        EXPECT_EQ(got->ticks, ticks);
    }
}

TEST(Wire, EveryCutAndEveryExtraByteIsRefused)
{
    RecordTrial("bad input", "every message kind cut short at every byte, and with one byte too many",
                "each is refused whole; none reads past its payload");
    for (const Sample& sample : Samples()) {
        ASSERT_TRUE(sample.decodes(sample.payload)) << sample.name;
        for (std::size_t length = 0; length < sample.payload.size(); ++length) {
            // A copy of just that many bytes, so that a read past them is a read past the buffer.
            const Bytes cut(sample.payload.begin(), sample.payload.begin() + static_cast<long>(length));
            EXPECT_FALSE(sample.decodes(cut)) << sample.name << " cut to " << length;
        }
        Bytes longer = sample.payload;
        longer.push_back(0);
        EXPECT_FALSE(sample.decodes(longer)) << sample.name << " with a byte more";
    }
}

// Each row builds one message twice: with a sound value, which must pass, and with
// the one field out of its range, which must be refused.
TEST(Wire, ValuesOutOfTheirRangeAreRefused)
{
    RecordTrial("bad input",
                "every field of every message out of its range: versions, server ids 17 and duplicates, kinds "
                "and enums past their last, counts past their limits (257 list entries, 33 baits, 17 servers, 76 "
                "news lines, 26 of a kind, records past a reading's most), texts one unit too long, a NUL inside, "
                "a count of 4 GiB, names not in normal form, slots out of order, ticks and minutes out of range",
                "each message is refused whole");
    using Write = std::function<void(PayloadWriter&, bool bad)>;
    using Decodes = std::function<bool(std::span<const uint8_t>)>;
    struct Row {
        std::string name;
        Decodes decodes;
        Write write;
    };
    auto command = [](std::span<const uint8_t> p) { return DecodeCommand(p, std::make_unique<WireCommand>().get()); };
    auto rules = [](std::span<const uint8_t> p) { return DecodeRules(p, std::make_unique<WireRules>().get()); };
    auto tripwires = [](std::span<const uint8_t> p) {
        return DecodeTripwires(p, std::make_unique<TripwireRules>().get());
    };
    auto news = [](std::span<const uint8_t> p) { return DecodeNews(p, std::make_unique<EngineNews>().get()); };
    auto servers = [](std::span<const uint8_t> p) { return DecodeServers(p, std::make_unique<WireServers>().get()); };
    auto begin = [](std::span<const uint8_t> p) {
        WireReadingBegin b{};
        return DecodeReadingBegin(p, &b);
    };
    auto welcome = [](std::span<const uint8_t> p) {
        WireWelcome w{};
        return DecodeWelcome(p, &w);
    };
    auto hello = [](std::span<const uint8_t> p) {
        WireHello h{};
        return DecodeHello(p, &h);
    };
    auto watch = [](std::span<const uint8_t> p) {
        WireWatch w{};
        return DecodeWatch(p, &w);
    };
    auto logText = [](std::span<const uint8_t> p) {
        WireLogText t{};
        return DecodeLogText(p, &t);
    };
    auto done = [](std::span<const uint8_t> p) {
        WireCommandDone d{};
        return DecodeCommandDone(p, &d);
    };
    auto commandHead = [](PayloadWriter& w, CommandKind kind) {
        PutU32(w, 1);
        PutU16(w, static_cast<uint16_t>(kind));
    };
    // A table of `count` entries, the last one as `name`, `slot`, `ticks`, `user` say.
    auto table = [](PayloadWriter& w, uint32_t count, std::wstring_view name, int lastSlot, int32_t ticks,
                    std::wstring_view user, int32_t denied = 0) {
        PutU16(w, static_cast<uint16_t>(count));
        for (uint32_t i = 0; i + 1 < count; ++i) {
            PutU8(w, static_cast<uint8_t>(i));
            PutRawWide(w, L"\\\\PC" + std::to_wstring(i));
            PutRawWide(w, L"");
            PutI32(w, kPermanent);
            PutI32(w, 0);
        }
        if (count > 0) {
            PutU8(w, static_cast<uint8_t>(lastSlot));
            PutRawWide(w, name);
            PutRawWide(w, user);
            PutI32(w, ticks);
            PutI32(w, denied);
        }
    };
    auto rulesWith = [table](PayloadWriter& w, uint32_t count, std::wstring_view name, int lastSlot, int32_t ticks,
                             std::wstring_view user, int32_t denied = 0) {
        PutU8(w, 0);
        table(w, 0, L"", 0, 0, L"");
        table(w, 0, L"", 0, 0, L"");
        table(w, count, name, lastSlot, ticks, user, denied);
    };
    auto tripwireFields = [](PayloadWriter& w, int enabled, uint32_t count, std::wstring_view lastBait, int32_t files,
                             int32_t seconds, int32_t minutes, int deny = 1,
                             const std::vector<std::wstring>& neverDenied = {L"CORP\\backup"}) {
        PutU8(w, static_cast<uint8_t>(enabled));
        PutU8(w, static_cast<uint8_t>(count));
        for (uint32_t i = 0; i < count; ++i)
            PutRawWide(w, i + 1 == count ? lastBait : L"*.canary");
        PutI32(w, files);
        PutI32(w, seconds);
        PutI32(w, minutes);
        PutU8(w, static_cast<uint8_t>(deny));
        PutU8(w, static_cast<uint8_t>(neverDenied.size()));
        for (const std::wstring& name : neverDenied)
            PutRawWide(w, name);
    };
    auto newsLines = [](PayloadWriter& w, int flag, uint32_t count, int lastKind, uint64_t lastSequence,
                        std::size_t lastLength) {
        PutU8(w, 1);
        PutU8(w, static_cast<uint8_t>(flag));
        PutU8(w, 0);
        PutU8(w, static_cast<uint8_t>(count));
        for (uint32_t i = 0; i < count; ++i) {
            const bool last = i + 1 == count;
            PutU8(w, static_cast<uint8_t>(last ? lastKind : static_cast<int>(i % 3)));
            PutU64(w, last ? lastSequence : i + 1);
            PutNarrow(w, std::string(last ? lastLength : 5, 'x'), SIZE_MAX);
        }
    };
    auto serverList = [](PayloadWriter& w, uint32_t count, int lastId, std::string_view lastName, int lastState) {
        PutU8(w, static_cast<uint8_t>(count));
        for (uint32_t i = 0; i < count; ++i) {
            const bool last = i + 1 == count;
            PutU8(w, static_cast<uint8_t>(last ? lastId : static_cast<int>(i) + 1));
            PutNarrow(w, last ? lastName : "fs", SIZE_MAX);
            PutU8(w, static_cast<uint8_t>(last ? lastState : 0));
        }
    };
    const std::wstring longName = Units(kMaxComputerName);
    auto historyDecodes = [](std::span<const uint8_t> p) {
        WireHistoryState h{};
        return DecodeHistoryState(p, &h);
    };
    // Health (8: the last), back-fill (3: the last), logs done, logs in all, lines read.
    auto historyFields = [](PayloadWriter& w, uint8_t health, uint8_t backfill, uint32_t logsDone, uint32_t total) {
        PutU8(w, health);
        PutU8(w, backfill);
        PutU32(w, logsDone);
        PutU32(w, total);
        PutU64(w, 0);
    };
    static_assert(static_cast<int>(HistoryHealth::ServiceOwned) == 8 && static_cast<int>(BackfillState::Done) == 3);
    std::vector<Row> rows = {
        {"hello version", hello, [](PayloadWriter& w, bool bad) { PutU16(w, bad ? kWireVersion + 1 : kWireVersion); }},
        {"log gates' keepdays past a hundred years", [](std::span<const uint8_t> p) {
             WireLogGates g{};
             return DecodeLogGates(p, &g);
         },
         [](PayloadWriter& w, bool bad) {
             for (int32_t gate : {1, 1, 1, 0})
                 PutI32(w, gate);
             PutI32(w, bad ? kKeepDaysMost + 1 : kKeepDaysMost);
         }},
        {"log gates' keepdays below 0", [](std::span<const uint8_t> p) {
             WireLogGates g{};
             return DecodeLogGates(p, &g);
         },
         [](PayloadWriter& w, bool bad) {
             for (int32_t gate : {1, 1, 1, 0})
                 PutI32(w, gate);
             PutI32(w, bad ? -1 : 0);
         }},
        {"history state past its last", historyDecodes,
         [historyFields](PayloadWriter& w, bool bad) { historyFields(w, bad ? 9 : 8, 3, 1, 1); }},
        {"history back-fill past its last", historyDecodes,
         [historyFields](PayloadWriter& w, bool bad) { historyFields(w, 0, bad ? 4 : 3, 1, 1); }},
        {"history logs done past their number", historyDecodes,
         [historyFields](PayloadWriter& w, bool bad) { historyFields(w, 0, 1, bad ? 366 : 365, 365); }},
        {"hello version 0", hello, [](PayloadWriter& w, bool bad) { PutU16(w, bad ? 0 : kWireVersion); }},
        {"welcome version", welcome,
         [](PayloadWriter& w, bool bad) {
             PutU16(w, bad ? kWireVersion + 1 : kWireVersion);
             PutNarrow(w, "1.2", SIZE_MAX);
         }},
        {"welcome product too long", welcome,
         [](PayloadWriter& w, bool bad) {
             PutU16(w, kWireVersion);
             PutNarrow(w, std::string(kProductVersionUnits - (bad ? 0 : 1), '1'), SIZE_MAX);
         }},
        {"welcome product line break", welcome,
         [](PayloadWriter& w, bool bad) {
             PutU16(w, kWireVersion);
             PutNarrow(w, bad ? "1.2\n" : "1.2 ", SIZE_MAX);
         }},
        {"watch monitoring 17", watch,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, bad ? 17 : 16);
             PutU8(w, 0);
         }},
        {"watch shares 255", watch,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, 0);
             PutU8(w, bad ? 255 : 0);
         }},
        {"rules block mode 2", rules,
         [table](PayloadWriter& w, bool bad) {
             PutU8(w, bad ? 2 : 1);
             for (int i = 0; i < 3; ++i)
                 table(w, 0, L"", 0, 0, L"");
         }},
        {"rules 257 entries", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, bad ? 257 : 256, L"\\\\LAST", 255, 0, L""); }},
        {"rules slot named twice", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 3, L"\\\\LAST", bad ? 1 : 2, 0, L""); }},
        {"rules slots out of order", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 3, L"\\\\LAST", bad ? 0 : 200, 0, L""); }},
        {"rules lower-case name", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, bad ? L"\\\\pc1" : L"\\\\PC1", 0, 0, L""); }},
        {"rules name without backslashes", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, bad ? L"PC1" : L"\\\\PC1", 0, 0, L""); }},
        {"rules name of backslashes only", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, bad ? L"\\\\" : L"\\\\\\", 0, 0, L""); }},
        {"rules name with a blank at its end", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, bad ? L"\\\\PC " : L"\\\\P C", 0, 0, L""); }},
        {"rules name with a quote", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, bad ? L"\\\\P\"C" : L"\\\\P'C", 0, 0, L""); }},
        {"rules name 66 units", rules,
         [rulesWith, longName](PayloadWriter& w, bool bad) {
             rulesWith(w, 1, L"\\\\" + longName + (bad ? L"X" : L""), 0, 0, L"");
         }},
        {"rules name with a NUL", rules,
         [rulesWith](PayloadWriter& w, bool bad) {
             rulesWith(w, 1, bad ? std::wstring(L"\\\\P\0C", 5) : L"\\\\PXC", 0, 0, L"");
         }},
        {"rules user 64 units", rules,
         [rulesWith](PayloadWriter& w, bool bad) {
             rulesWith(w, 1, L"\\\\PC", 0, 0, Units(kBlockUserUnits - (bad ? 0 : 1)));
         }},
        {"rules ticks -2", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, L"\\\\PC", 0, bad ? -2 : -1, L""); }},
        {"rules denied at -1 shares", rules,
         [rulesWith](PayloadWriter& w, bool bad) { rulesWith(w, 1, L"\\\\PC", 0, -1, L"u", bad ? -1 : 0); }},
        {"rules denied at more shares than are kept", rules,
         [rulesWith](PayloadWriter& w, bool bad) {
             rulesWith(w, 1, L"\\\\PC", 0, -1, L"u", static_cast<int32_t>(kMaxDeniedShares) + (bad ? 1 : 0));
         }},
        {"tripwires deny flag 2", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, 0, L"", 5, 5, 0, bad ? 2 : 1, {}); }},
        {"tripwires never denied with a comma or 17 of them", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) {
             std::vector<std::wstring> names = {L"backup", bad ? L"a,b" : L"ab"};
             if (bad)
                 names.resize(17, L"x");
             tripwireFields(w, 1, 0, L"", 5, 5, 0, 1, names);
         }},
        {"tripwires enabled 2", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, bad ? 2 : 1, 1, L"*.x", 1, 1, 0); }},
        {"tripwires 33 baits", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, bad ? 33 : 32, L"*.x", 1, 1, 0); }},
        {"tripwires empty bait", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, 2, bad ? L"" : L"x", 1, 1, 0); }},
        {"tripwires bait 260 units", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) {
             tripwireFields(w, 1, 2, Units(kBaitPatternUnits - (bad ? 0 : 1)), 1, 1, 0);
         }},
        {"tripwires bait with a tab", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, 2, bad ? L"a\tb" : L"a b", 1, 1, 0); }},
        {"tripwires burst files -1", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, 0, L"", bad ? -1 : 0, 1, 0); }},
        {"tripwires burst files 1001", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) {
             tripwireFields(w, 1, 0, L"", kMaxBurstFiles + (bad ? 1 : 0), 1, 0);
         }},
        {"tripwires burst seconds 0", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, 0, L"", 5, bad ? 0 : 1, 0); }},
        {"tripwires burst seconds 3601", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) {
             tripwireFields(w, 1, 0, L"", 5, kMaxBurstSeconds + (bad ? 1 : 0), 0);
         }},
        {"tripwires minutes -1", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) { tripwireFields(w, 1, 0, L"", 5, 5, bad ? -1 : 0); }},
        {"tripwires minutes past the most", tripwires,
         [tripwireFields](PayloadWriter& w, bool bad) {
             tripwireFields(w, 1, 0, L"", 5, 5, kMaxTripMinutes + (bad ? 1 : 0));
         }},
        {"servers 17", servers,
         [serverList](PayloadWriter& w, bool bad) { serverList(w, bad ? 17 : 16, 16, "fs", 0); }},
        {"servers id 0", servers, [serverList](PayloadWriter& w, bool bad) { serverList(w, 1, bad ? 0 : 1, "fs", 0); }},
        {"servers id 17", servers,
         [serverList](PayloadWriter& w, bool bad) { serverList(w, 1, bad ? 17 : 16, "fs", 0); }},
        {"servers id 255", servers,
         [serverList](PayloadWriter& w, bool bad) { serverList(w, 1, bad ? 255 : 16, "fs", 0); }},
        {"servers id twice", servers,
         [serverList](PayloadWriter& w, bool bad) { serverList(w, 3, bad ? 2 : 3, "fs", 0); }},
        {"servers empty name", servers,
         [serverList](PayloadWriter& w, bool bad) { serverList(w, 2, 5, bad ? "" : "f", 0); }},
        {"servers name 256 units", servers,
         [serverList](PayloadWriter& w, bool bad) {
             serverList(w, 2, 5, std::string(kServerNameUnits - (bad ? 0 : 1), 'n'), 0);
         }},
        {"servers state 4", servers,
         [serverList](PayloadWriter& w, bool bad) { serverList(w, 2, 5, "fs", bad ? 4 : 3); }},
        {"log text reset 2", logText,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, bad ? 2 : 1);
             PutNarrow(w, "x", SIZE_MAX);
         }},
        {"log text past its capacity", logText,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, 0);
             PutNarrow(w, std::string(kLogTextCapacity + (bad ? 1 : 0), 't'), SIZE_MAX);
         }},
        {"log text with a NUL", logText,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, 0);
             PutU32(w, 3);
             PutU8(w, 'a');
             PutU8(w, bad ? 0 : 'b');
             PutU8(w, 'c');
         }},
        {"news flag 2", news, [newsLines](PayloadWriter& w, bool bad) { newsLines(w, bad ? 2 : 1, 1, 0, 1, 5); }},
        {"news 76 lines", news,
         [newsLines](PayloadWriter& w, bool bad) {
             // 75 of three kinds in turn fill every kind; 76 are more than any news holds.
             newsLines(w, 0, bad ? 76 : 75, bad ? 0 : 2, 1000, 5);
         }},
        {"news kind 3", news, [newsLines](PayloadWriter& w, bool bad) { newsLines(w, 0, 2, bad ? 3 : 2, 100, 5); }},
        {"news sequence going back", news,
         [newsLines](PayloadWriter& w, bool bad) { newsLines(w, 0, 3, 1, bad ? 2 : 3, 5); }},
        {"news sequence 0", news, [newsLines](PayloadWriter& w, bool bad) { newsLines(w, 0, 1, 1, bad ? 0 : 1, 5); }},
        {"news line 1024", news,
         [newsLines](PayloadWriter& w, bool bad) { newsLines(w, 0, 2, 1, 10, kAlertTextUnits + (bad ? 1 : 0)); }},
        {"reading server 17", begin,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, bad ? 17 : 16);
             PutU8(w, 0);
             PutU32(w, 0);
             PutU32(w, 0);
         }},
        {"reading kind 3", begin,
         [](PayloadWriter& w, bool bad) {
             PutU8(w, 0);
             PutU8(w, bad ? 3 : 2);
             PutU32(w, 0);
             PutU32(w, 0);
         }},
        {"command done result 3", done,
         [](PayloadWriter& w, bool bad) {
             PutU32(w, 1);
             PutU8(w, bad ? 3 : 2);
         }},
        {"command kind 0", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, bad ? CommandKind{0} : CommandKind::RefreshShares);
             PutU8(w, 0);
         }},
        {"command kind 12", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, bad ? CommandKind{12} : CommandKind::RefreshShares);
             PutU8(w, 0);
         }},
        {"close session server 17", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::CloseSession);
             PutU8(w, bad ? 17 : 16);
             PutRawWide(w, L"\\\\PC");
             PutRawWide(w, L"");
         }},
        {"close session no client", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::CloseSession);
             PutU8(w, 0);
             PutRawWide(w, bad ? L"" : L"\\\\PC");
             PutRawWide(w, L"");
         }},
        {"close session client 258 units", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::CloseSession);
             PutU8(w, 0);
             PutRawWide(w, Units(kClientNameUnits - (bad ? 0 : 1)));
             PutRawWide(w, L"u");
         }},
        {"close session user of 4 GiB", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::CloseSession);
             PutU8(w, 0);
             PutRawWide(w, L"\\\\PC");
             PutU32(w, bad ? 0xFFFFFFFFu : 1);
             PutU16(w, 'u');
         }},
        {"close file server 17", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::CloseFile);
             PutU8(w, bad ? 17 : 0);
             PutU32(w, 5);
         }},
        {"remove share no name", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::RemoveShare);
             PutU8(w, 3);
             PutRawWide(w, bad ? L"" : L"D$");
         }},
        {"refresh shares server 17", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::RefreshShares);
             PutU8(w, bad ? 17 : 16);
         }},
        {"add computer list 2", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::AddComputer);
             PutU8(w, bad ? 2 : 1);
             PutRawWide(w, L"pc1");
             PutI32(w, kPermanent);
         }},
        {"add computer name 64 units", command,
         [commandHead, longName](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::AddComputer);
             PutU8(w, 0);
             PutRawWide(w, longName + (bad ? L"X" : L""));
             PutI32(w, kPermanent);
         }},
        {"add computer no name", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::AddComputer);
             PutU8(w, 0);
             PutRawWide(w, bad ? L"" : L"p");
             PutI32(w, kPermanent);
         }},
        {"add computer name with a line break", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::AddComputer);
             PutU8(w, 0);
             PutRawWide(w, bad ? L"pc\n1" : L"pc 1");
             PutI32(w, kPermanent);
         }},
        {"add computer ticks 0", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::AddComputer);
             PutU8(w, 0);
             PutRawWide(w, L"pc1");
             PutI32(w, bad ? 0 : 1);
         }},
        {"add computer ticks -2", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::AddComputer);
             PutU8(w, 0);
             PutRawWide(w, L"pc1");
             PutI32(w, bad ? -2 : -1);
         }},
        {"remove computer not in normal form", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::RemoveComputer);
             PutU8(w, 0);
             PutRawWide(w, bad ? L"\\\\Pc1" : L"\\\\PC1");
         }},
        {"remove computer list 2", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::RemoveComputer);
             PutU8(w, bad ? 2 : 0);
             PutRawWide(w, L"\\\\PC1");
         }},
        {"block mode 2", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::SetBlockMode);
             PutU8(w, bad ? 2 : 1);
         }},
        {"set tripwires burst seconds 0", command,
         [commandHead, tripwireFields](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::SetTripwires);
             tripwireFields(w, 1, 1, L"*.x", 1, bad ? 0 : 1, 0);
         }},
        {"set servers 17", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::SetServers);
             PutU8(w, bad ? 17 : 16);
             for (int i = 0; i < (bad ? 17 : 16); ++i)
                 PutNarrow(w, "fs", SIZE_MAX);
         }},
        {"set servers empty name", command,
         [commandHead](PayloadWriter& w, bool bad) {
             commandHead(w, CommandKind::SetServers);
             PutU8(w, 2);
             PutNarrow(w, "fs", SIZE_MAX);
             PutNarrow(w, bad ? "" : "g", SIZE_MAX);
         }},
    };
    // The forwarding command: the service applies and saves only values in their ranges.
    struct ForwardRow {
        const char* name;
        std::function<void(ForwardSettings&)> spoil;
    };
    const std::vector<ForwardRow> forwardRows = {
        {"enabled without a host", [](ForwardSettings& f) { f.host = {}; }},
        {"port 65536", [](ForwardSettings& f) { f.port = 65536; }},
        {"port -1", [](ForwardSettings& f) { f.port = -1; }},
        {"transport unknown", [](ForwardSettings& f) { f.transport = ForwardTransport::Unknown; }},
        {"facility 24", [](ForwardSettings& f) { f.facility = 24; }},
        {"facility -1", [](ForwardSettings& f) { f.facility = -1; }},
        {"minimum unknown", [](ForwardSettings& f) { f.minimum = ForwardMinimum::Unknown; }},
        {"spool 0 MB", [](ForwardSettings& f) { f.spoolMegabytes = 0; }},
        {"spool 4097 MB", [](ForwardSettings& f) { f.spoolMegabytes = 4097; }},
        {"RELP's reply time 4 s", [](ForwardSettings& f) { f.replySeconds = 4; }},
        {"webhook not http", [](ForwardSettings& f) { Fill(f.webhook, "ftp://hooks.example/x"); }},
        {"webhook without a host", [](ForwardSettings& f) { Fill(f.webhook, "https://"); }},
        {"webhook with a line break", [](ForwardSettings& f) { Fill(f.webhook, "https://hooks.example/\r\nX: y"); }},
        {"webhook format unknown", [](ForwardSettings& f) { f.webhookFormat = WebhookFormat::Unknown; }},
        {"host with a line break", [](ForwardSettings& f) { Fill(f.host, "collector\nevil"); }},
    };
    for (const ForwardRow& forwardRow : forwardRows) {
        rows.push_back({std::string("set forward ") + forwardRow.name, command,
                        [commandHead, forwardRow](PayloadWriter& w, bool bad) {
                            commandHead(w, CommandKind::SetForward);
                            ForwardSettings forward = SampleForward();
                            if (bad)
                                forwardRow.spoil(forward);
                            PutU8(w, static_cast<uint8_t>(forward.enabled));
                            PutNarrow(w, forward.host.data(), SIZE_MAX);
                            PutI32(w, forward.port);
                            PutU8(w, static_cast<uint8_t>(forward.transport));
                            PutI32(w, forward.facility);
                            PutU8(w, static_cast<uint8_t>(forward.minimum));
                            PutI32(w, forward.spoolMegabytes);
                            PutNarrow(w, forward.webhook.data(), SIZE_MAX);
                            PutU8(w, static_cast<uint8_t>(forward.webhookFormat));
                            PutI32(w, forward.replySeconds);
                        }});
    }
    // Texts one byte past their room, and words past the last a setting has, even from the service.
    auto forwardFrame = [](std::span<const uint8_t> p) { return DecodeForward(p, std::make_unique<ForwardSettings>().get()); };
    rows.push_back({"forward host 256 bytes, minimum past its words", forwardFrame, [](PayloadWriter& w, bool bad) {
                        PutU8(w, 1);
                        PutNarrow(w, std::string(bad ? 256 : 255, 'h'), SIZE_MAX);
                        PutI32(w, 0);
                        PutU8(w, 3);
                        PutI32(w, 13);
                        PutU8(w, bad ? 3 : 2);
                        PutI32(w, 64);
                        PutNarrow(w, "", SIZE_MAX);
                        PutU8(w, 3);
                        PutI32(w, 30);
                    }});
    for (const ReplyKind kind : {SessionsReply, FilesReply, SharesReply}) {
        rows.push_back({"reading past its most records, kind " + std::to_string(kind), begin,
                        [kind](PayloadWriter& w, bool bad) {
                            PutU8(w, 0);
                            PutU8(w, static_cast<uint8_t>(kind));
                            PutU32(w, NERR_Success);
                            PutU32(w, MostRecordsOf(kind) + (bad ? 1 : 0));
                        }});
    }
    for (const Row& row : rows) {
        EXPECT_TRUE(row.decodes(Built([&](PayloadWriter& w) { row.write(w, false); }))) << row.name << ", sound";
        EXPECT_FALSE(row.decodes(Built([&](PayloadWriter& w) { row.write(w, true); }))) << row.name;
    }
}

// Bytes changed at random: whatever a decoder accepts, it must have taken whole, and
// sending it back must give the same bytes (nothing cut, mended or left over).
TEST(Wire, WhatADecoderAcceptsIsExactlyWhatWasSent)
{
    RecordTrial("bad input", "200,000 random changes to messages of every kind: bytes flipped, set to 0 or 255, "
                             "payloads cut or grown",
                "no read outside a payload; every message a decoder accepts encodes back to the very same bytes");
    std::mt19937 random(20260307);
    const std::vector<Sample> samples = Samples();
    int accepted = 0;
    for (int round = 0; round < 200'000; ++round) {
        const Sample& sample = samples[static_cast<std::size_t>(round) % samples.size()];
        Bytes payload = sample.payload;
        const int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes && !payload.empty(); ++c) {
            const std::size_t at = random() % payload.size();
            switch (random() % 5) {
            case 0: payload[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
            case 1: payload[at] = 0; break;
            case 2: payload[at] = 0xFF; break;
            case 3: payload.resize(at); break;
            default: payload.insert(payload.begin() + static_cast<long>(at), static_cast<uint8_t>(random())); break;
            }
        }
        if (!sample.decodes(payload))
            continue;
        ++accepted;
        ASSERT_EQ(sample.again(payload), payload) << sample.name << " in round " << round;
    }
    EXPECT_GT(accepted, 1000) << "the changes should leave many messages sound";
}

// ---- Readings ----

namespace {

struct RecordTexts {
    std::deque<std::wstring> texts;  // a text stays where it is as others are added
    const wchar_t* Keep(std::wstring text)
    {
        texts.push_back(std::move(text));
        return texts.back().c_str();
    }
};

std::vector<Bytes> FramesOf(ReadingEncoder& encoder)
{
    std::vector<Bytes> frames;
    Bytes room(kMaxFrameBytes);
    for (auto frame = NextReadingFrame(encoder, room); !frame.empty(); frame = NextReadingFrame(encoder, room)) {
        EXPECT_LE(frame.size(), kMaxFrameBytes);
        frames.emplace_back(frame.begin(), frame.end());
    }
    return frames;
}

// The frames through a window's frame assembler, then the reading assembler.
bool Rebuild(ReadingAssembler& assembler, const std::vector<Bytes>& frames)
{
    static FrameAssembler stream{};
    EXPECT_TRUE(StartFrameAssembler(stream, WireDirection::ToWindow));
    for (const Bytes& bytes : frames) {
        Frame frame{};
        std::size_t used = 0;
        EXPECT_EQ(AssembleFrame(stream, bytes, &used, &frame), FrameStep::Whole);
        EXPECT_EQ(used, bytes.size());
        if (!TakeReadingFrame(assembler, frame))
            return false;
    }
    return true;
}

// Each frame made and taken at once, as a reading of hundreds of megabytes would go.
bool Stream(ReadingAssembler& assembler, ReadingEncoder& encoder)
{
    static Bytes room(kMaxFrameBytes);
    bool taken = true;
    for (auto frame = NextReadingFrame(encoder, room); !frame.empty(); frame = NextReadingFrame(encoder, room))
        taken = taken && Rebuild(assembler, {Bytes(frame.begin(), frame.end())});
    return taken;
}

ReadingAssembler& TheAssembler()
{
    static auto* assembler = new ReadingAssembler{};
    EXPECT_TRUE(StartReadingAssembler(*assembler));
    return *assembler;
}

Frame AsFrame(const Bytes& frame)
{
    return {static_cast<WireKind>(frame[6] | frame[7] << 8), std::span(frame).subspan(kFrameHeaderBytes)};
}

}  // namespace

TEST(Readings, AReadingComesBackWholeAcrossAsManyPartsAsItNeeds)
{
    ReadingAssembler& assembler = TheAssembler();

    // Files with the longest paths: many parts, each under the frame limit.
    RecordTexts texts;
    std::vector<FILE_INFO_3> files(300);
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].fi3_id = static_cast<DWORD>(0xFFFFFF00u + i);
        files[i].fi3_permissions = PERM_FILE_WRITE;
        files[i].fi3_num_locks = static_cast<DWORD>(i);
        files[i].fi3_pathname = const_cast<wchar_t*>(texts.Keep(L"D:\\" + Units(kRecordPathUnits - 3 - i % 2)));
        files[i].fi3_username = i == 7 ? nullptr : const_cast<wchar_t*>(texts.Keep(L"user" + std::to_wstring(i)));
    }
    ReadingEncoder encoder{};
    StartReading(encoder, 16, NERR_Success, std::span<const FILE_INFO_3>(files));
    const std::vector<Bytes> frames = FramesOf(encoder);
    EXPECT_GT(frames.size(), 4u);
    ASSERT_TRUE(Rebuild(assembler, frames));
    ASSERT_TRUE(ReadingIsWhole(assembler));
    const auto got = AssembledFiles(assembler);
    ASSERT_EQ(got.size(), files.size());
    EXPECT_TRUE(AssembledSessions(assembler).empty()) << "a reading of files is no reading of sessions";
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(got[i].fi3_id, files[i].fi3_id);
        EXPECT_EQ(got[i].fi3_permissions, files[i].fi3_permissions);
        EXPECT_EQ(got[i].fi3_num_locks, files[i].fi3_num_locks);
        EXPECT_STREQ(got[i].fi3_pathname, files[i].fi3_pathname);
        EXPECT_STREQ(got[i].fi3_username, i == 7 ? L"" : files[i].fi3_username) << "no text reads as empty text";
    }

    // The most sessions a reading carries, names cut to their limit; one more is left out.
    std::vector<SESSION_INFO_1> sessions(kMaxReadingSessions + 1);
    const wchar_t* longest = texts.Keep(Units(70'000));
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        sessions[i].sesi1_cname = const_cast<wchar_t*>(i == 0 ? longest : L"\\\\PC");
        sessions[i].sesi1_username = const_cast<wchar_t*>(L"u");
        sessions[i].sesi1_num_opens = static_cast<DWORD>(i);
        sessions[i].sesi1_time = 0xFFFFFFFF;
        sessions[i].sesi1_idle_time = 3;
        sessions[i].sesi1_user_flags = SESS_GUEST;
    }
    StartReading(encoder, kThisComputer, NERR_Success, std::span<const SESSION_INFO_1>(sessions));
    ASSERT_TRUE(Rebuild(assembler, FramesOf(encoder)));
    const auto gotSessions = AssembledSessions(assembler);
    ASSERT_EQ(gotSessions.size(), kMaxReadingSessions);
    EXPECT_EQ(assembler.begin.status, static_cast<NET_API_STATUS>(ERROR_MORE_DATA)) << "the reading says it is not whole";
    EXPECT_EQ(std::wstring(gotSessions[0].sesi1_cname), Units(kRecordNameUnits));
    EXPECT_EQ(gotSessions.back().sesi1_num_opens, kMaxReadingSessions - 1);
    EXPECT_EQ(gotSessions.back().sesi1_time, 0xFFFFFFFFu);
    EXPECT_EQ(gotSessions.back().sesi1_user_flags, static_cast<DWORD>(SESS_GUEST));

    // A failed enumeration goes as a begin and an end, its status kept.
    StartReading(encoder, 3, ERROR_ACCESS_DENIED, std::span<const SHARE_INFO_502>());
    const std::vector<Bytes> denied = FramesOf(encoder);
    EXPECT_EQ(denied.size(), 2u);
    ASSERT_TRUE(Rebuild(assembler, denied));
    EXPECT_TRUE(ReadingIsWhole(assembler));
    EXPECT_EQ(assembler.begin.status, static_cast<NET_API_STATUS>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(assembler.begin.server, 3);

    SHARE_INFO_502 share{};
    share.shi502_netname = const_cast<wchar_t*>(L"D$");
    share.shi502_type = STYPE_DISKTREE | STYPE_SPECIAL;
    share.shi502_current_uses = 4;
    share.shi502_path = const_cast<wchar_t*>(L"D:\\");
    StartReading(encoder, 3, NERR_Success, std::span<const SHARE_INFO_502>(&share, 1));
    ASSERT_TRUE(Rebuild(assembler, FramesOf(encoder)));
    const auto shares = AssembledShares(assembler);
    ASSERT_EQ(shares.size(), 1u);
    EXPECT_STREQ(shares[0].shi502_netname, L"D$");
    EXPECT_EQ(shares[0].shi502_type, static_cast<DWORD>(STYPE_DISKTREE | STYPE_SPECIAL));
    EXPECT_STREQ(shares[0].shi502_remark, L"");
    EXPECT_EQ(shares[0].shi502_current_uses, 4u);
    EXPECT_STREQ(shares[0].shi502_path, L"D:\\");

    // A server out of range makes no reading at all.
    StartReading(encoder, kMaxRemoteServers + 1, NERR_Success, std::span<const SHARE_INFO_502>(&share, 1));
    EXPECT_TRUE(FramesOf(encoder).empty());
}

TEST(Readings, TextsPastTheWindowsRoomAreLeftOutNotRefused)
{
    RecordTrial("load", "a reading of 262,144 open files whose paths all have 32,767 characters (16 GiB of text)",
                "the service sends as many as fit the window's 128 MiB of text and says ERROR_MORE_DATA; the "
                "window takes them all");
    static const std::wstring path = L"\\" + Units(kRecordPathUnits - 1);
    std::vector<FILE_INFO_3> files(kMaxReadingFiles);
    for (FILE_INFO_3& file : files) {
        file.fi3_pathname = const_cast<wchar_t*>(path.c_str());
        file.fi3_username = const_cast<wchar_t*>(L"u");
    }
    ReadingEncoder encoder{};
    StartReading(encoder, 1, NERR_Success, std::span<const FILE_INFO_3>(files));
    const std::size_t each = (kRecordPathUnits + 1 + 2) * sizeof(wchar_t);
    EXPECT_EQ(encoder.begin.total, kReadingTextBytes / each);
    EXPECT_EQ(encoder.begin.status, static_cast<NET_API_STATUS>(ERROR_MORE_DATA));
    ReadingAssembler& assembler = TheAssembler();
    ASSERT_TRUE(Stream(assembler, encoder));
    ASSERT_TRUE(ReadingIsWhole(assembler));
    EXPECT_EQ(AssembledFiles(assembler).size(), encoder.begin.total);
    EXPECT_EQ(std::wstring(AssembledFiles(assembler).back().fi3_pathname), path);
}

TEST(Readings, AReadingOutOfOrderIsRefused)
{
    RecordTrial("bad input", "readings out of order: a part or an end without a begin, a part past the announced "
                             "count, an end that comes short, a begin before the last ended, a part of no records, "
                             "a record whose text runs past its limit or its part",
                "each is refused (the window drops the connection); the last whole reading is no longer offered");
    ReadingAssembler& assembler = TheAssembler();
    std::vector<SESSION_INFO_1> sessions(3);
    for (SESSION_INFO_1& session : sessions) {
        session.sesi1_cname = const_cast<wchar_t*>(L"\\\\PC");
        session.sesi1_username = const_cast<wchar_t*>(L"u");
    }
    ReadingEncoder encoder{};
    StartReading(encoder, 0, NERR_Success, std::span<const SESSION_INFO_1>(sessions));
    const std::vector<Bytes> three = FramesOf(encoder);  // begin, one part, end
    ASSERT_EQ(three.size(), 3u);
    StartReading(encoder, 0, NERR_Success, std::span<const SESSION_INFO_1>(sessions).first(2));
    const std::vector<Bytes> two = FramesOf(encoder);
    const Bytes& begin3 = three[0];
    const Bytes& part3 = three[1];
    const Bytes& begin2 = two[0];
    const Bytes& part2 = two[1];
    const Bytes& end = three[2];
    auto partOf = [](const std::function<void(PayloadWriter&)>& write) {
        return FrameOf(WireKind::ReadingPart, Built(write));
    };
    const Bytes emptyPart = partOf([](PayloadWriter& w) { PutU32(w, 0); });
    const Bytes longName = partOf([](PayloadWriter& w) {
        PutU32(w, 1);
        PutRawWide(w, Units(kRecordNameUnits + 1));
        PutRawWide(w, L"u");
        for (int i = 0; i < 4; ++i)
            PutU32(w, 0);
    });
    const Bytes countPastPart = partOf([](PayloadWriter& w) {
        PutU32(w, 2);
        PutRawWide(w, L"\\\\PC");
        PutRawWide(w, L"u");
        for (int i = 0; i < 4; ++i)
            PutU32(w, 0);
    });
    const std::vector<std::pair<const char*, std::vector<Bytes>>> cases = {
        {"part without a begin", {part3}},
        {"end without a begin", {end}},
        {"part past the count", {begin2, part3}},
        {"parts past the count", {begin3, part2, part2}},
        {"end short", {begin3, part2, end}},
        {"begin before the end", {begin3, part3, begin3}},
        {"part of no records", {begin3, emptyPart}},
        {"name past its limit", {begin3, longName}},
        {"count past its part", {begin3, countPastPart}},
    };
    for (const auto& [name, frames] : cases) {
        ASSERT_TRUE(Rebuild(assembler, three)) << "a sound reading first";
        ASSERT_EQ(AssembledSessions(assembler).size(), 3u);
        EXPECT_FALSE(Rebuild(assembler, frames)) << name;
        EXPECT_FALSE(ReadingIsWhole(assembler)) << name;
        EXPECT_TRUE(AssembledSessions(assembler).empty()) << name;
    }
    // A begin starts again after a refusal.
    EXPECT_TRUE(Rebuild(assembler, two));
    EXPECT_EQ(AssembledSessions(assembler).size(), 2u);
    EXPECT_FALSE(TakeReadingFrame(assembler, AsFrame(FrameOf(WireKind::News, {})))) << "not a reading's frame";
}
