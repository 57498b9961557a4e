// The service's end of the pipe, with real pipes in one process: clients join, talk and
// leave; a hostile or stalled client is dropped and nobody else notices; the engine's
// side never waits; the pipe admits only SYSTEM and the Administrators.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/link/pipe_client.h"
#include "engine/link/pipe_server.h"
#include "engine/link/wire.h"
#include "soak/process_probe.h"
#include "support/engine_fixture.h"
#include "support/pipe_test_client.h"

namespace {

using pipe_test::Bytes;
using pipe_test::FrameOf;
using pipe_test::RawFrame;
using pipe_test::TestClient;
using pipe_test::UniquePipeName;
using Clock = std::chrono::steady_clock;

Bytes CommandFrame(uint32_t id, DWORD fileId)
{
    auto command = std::make_unique<WireCommand>();
    command->id = id;
    command->kind = CommandKind::CloseFile;
    command->server = 3;
    command->fileId = fileId;
    return FrameOf(WireKind::Command, *command, EncodeCommand);
}

Bytes LogTextFrame(std::size_t length)
{
    static std::string text;
    text.assign(length, 'x');
    return FrameOf(WireKind::LogText, WireLogText{0, text}, EncodeLogText);
}

// A client that writes whatever bytes a test gives it, and reads only when told.
struct RawClient {
    HANDLE pipe = nullptr;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    bool Open(const std::wstring& name, DWORD timeoutMs = 10'000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
            if (pipe != INVALID_HANDLE_VALUE)
                return true;
            pipe = nullptr;
            if (GetLastError() != ERROR_PIPE_BUSY || Clock::now() >= deadline)
                return false;
            WaitNamedPipeW(name.c_str(), 100);
        }
    }
    bool Write(const Bytes& bytes)
    {
        OVERLAPPED overlap{};
        overlap.hEvent = event;
        DWORD written = 0;
        if (!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlap) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        return GetOverlappedResult(pipe, &overlap, &written, TRUE) && written == bytes.size();
    }
    // Reads up to `bytes` within `ms`; false when the pipe broke (or nothing came in time: *timedOut).
    bool Read(Bytes* bytes, DWORD ms, bool* timedOut = nullptr)
    {
        OVERLAPPED overlap{};
        overlap.hEvent = event;
        DWORD got = 0;
        if (timedOut)
            *timedOut = false;
        if (!ReadFile(pipe, bytes->data(), static_cast<DWORD>(bytes->size()), nullptr, &overlap) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(event, ms) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlap);
            if (timedOut)
                *timedOut = true;
        }
        const bool read = GetOverlappedResult(pipe, &overlap, &got, TRUE);
        bytes->resize(read ? got : 0);
        return read;
    }
    // Reads and drops everything until the service ends the connection.
    bool ReadUntilBroken(DWORD ms = 10'000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < deadline) {
            Bytes bytes(64 * 1024);
            bool timedOut = false;
            if (!Read(&bytes, 200, &timedOut) && !timedOut)
                return true;
        }
        return false;
    }
    void Close()
    {
        if (pipe)
            CloseHandle(pipe);
        pipe = nullptr;
    }
    ~RawClient()
    {
        Close();
        CloseHandle(event);
    }
};

const Bytes& HelloFrame()
{
    static const Bytes hello = FrameOf(WireKind::Hello, WireHello{kWireVersion}, EncodeHello);
    return hello;
}

struct Taken {
    PipeEvent event;
    PipeClientId client;
    WireKind kind;
    WireWatch watch;
    uint32_t commandId;
    CommandKind commandKind;
    DWORD fileId;
    std::wstring account;
};

// "DOMAIN\name" of the account this process runs as, as the system names it.
std::wstring ThisAccount()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::array<BYTE, 256> user{};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
    CloseHandle(token);
    std::array<wchar_t, 80> name{};
    std::array<wchar_t, 80> domain{};
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD domainSize = static_cast<DWORD>(domain.size());
    SID_NAME_USE use{};
    LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, name.data(), &nameSize,
                      domain.data(), &domainSize, &use);
    return std::wstring(domain.data()) + L"\\" + name.data();
}

class PipeServerTest : public ::testing::Test {
protected:
    void SetUp() override { Start(0); }
    void TearDown() override { StopPipeServer(*server); }
    void Start(DWORD greetingMs)
    {
        name = UniquePipeName();
        ASSERT_TRUE(StartPipeServer(*server, {name.c_str(), "1.2.0", greetingMs})) << GetLastError();
    }
    // Takes what waits, as the engine's thread does, until `enough` holds or `ms` pass.
    bool TakeUntil(const std::function<bool()>& enough, int ms = 10'000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            while (const PipeInbound* in = NextPipeInbound(*server)) {
                taken.push_back({in->event, in->client, in->kind, in->watch, in->command.id, in->command.kind,
                                 in->command.fileId, in->account.data()});
                DonePipeInbound(*server);
            }
            if (enough())
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            WaitForSingleObject(PipeInboundEvent(*server), static_cast<DWORD>(left));
        }
    }
    int Count(PipeEvent event, PipeClientId client = 0) const
    {
        return static_cast<int>(std::count_if(taken.begin(), taken.end(), [&](const Taken& t) {
            return t.event == event && (client == 0 || t.client == client);
        }));
    }
    bool TakeJoined(int count) { return TakeUntil([&] { return Count(PipeEvent::Joined) >= count; }); }
    bool TakeLeft(PipeClientId client) { return TakeUntil([&] { return Count(PipeEvent::Left, client) == 1; }); }
    PipeClientId LastJoined() const
    {
        for (auto t = taken.rbegin(); t != taken.rend(); ++t)
            if (t->event == PipeEvent::Joined)
                return t->client;
        return 0;
    }

    std::unique_ptr<PipeServer> server = std::make_unique<PipeServer>();
    std::wstring name;
    std::vector<Taken> taken;
};

// Wine answers 0 for the private bytes and the handle count: the soak's probe reads
// what stands in for them there.
long long PrivateBytes()
{
    return PrivateMemoryOf(SampleProcess(GetCurrentProcess(), GetCurrentProcessId()));
}

long long HandleCount()
{
    return HandleCountOf(SampleProcess(GetCurrentProcess(), GetCurrentProcessId()));
}

// What the system's access check grants `token` on a pipe with `descriptor`.
bool MayReadAndWrite(PSECURITY_DESCRIPTOR descriptor, HANDLE token)
{
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(token, SecurityImpersonation, &impersonation))
        return false;
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof(privileges);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    const BOOL checked = AccessCheck(descriptor, impersonation, FILE_GENERIC_READ | FILE_GENERIC_WRITE, &mapping,
                                     &privileges, &privilegesSize, &granted, &allowed);
    CloseHandle(impersonation);
    return checked && allowed;
}

}  // namespace

TEST_F(PipeServerTest, AClientIsWelcomedAndMessagesGoBothWays)
{
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(name));
    ASSERT_TRUE(TakeJoined(1));
    const PipeClientId id = LastJoined();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(taken[0].account, ThisAccount()) << "who the client runs as, from its token";

    ASSERT_TRUE(client->WaitForFrames(1));
    WireWelcome welcome{};
    ASSERT_EQ(client->frames[0].first, WireKind::Welcome);
    ASSERT_TRUE(DecodeWelcome(client->frames[0].second, &welcome));
    EXPECT_STREQ(welcome.product.data(), "1.2.0");

    ASSERT_TRUE(SendToService(client->connection, FrameOf(WireKind::Watch, WireWatch{2, 5}, EncodeWatch), 5000));
    ASSERT_TRUE(SendToService(client->connection, CommandFrame(77, 123456), 5000));
    ASSERT_TRUE(TakeUntil([&] { return Count(PipeEvent::Message) == 2; }));
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[1].client, id);
    EXPECT_EQ(taken[1].kind, WireKind::Watch);
    EXPECT_EQ(taken[1].watch.monitoring, 2);
    EXPECT_EQ(taken[1].watch.shares, 5);
    EXPECT_EQ(taken[2].kind, WireKind::Command);
    EXPECT_EQ(taken[2].commandId, 77u);
    EXPECT_EQ(taken[2].commandKind, CommandKind::CloseFile);
    EXPECT_EQ(taken[2].fileId, 123456u);

    EXPECT_TRUE(SendToPipeClient(*server, id,
                                 FrameOf(WireKind::CommandDone, WireCommandDone{77, CommandResult::Done},
                                         EncodeCommandDone)));
    EXPECT_EQ(BroadcastToPipeClients(*server, LogTextFrame(100)), 1);
    EXPECT_FALSE(SendToPipeClient(*server, id, {})) << "an empty frame (one that could not be made) is not sent";
    ASSERT_TRUE(client->WaitForFrames(3));
    WireCommandDone done{};
    ASSERT_TRUE(DecodeCommandDone(client->frames[1].second, &done));
    EXPECT_EQ(done.command, 77u);
    EXPECT_EQ(client->frames[2].first, WireKind::LogText);

    client->Close();
    ASSERT_TRUE(TakeLeft(id));
    EXPECT_EQ(taken.back().event, PipeEvent::Left) << "a client's Left comes after its messages";
    EXPECT_FALSE(SendToPipeClient(*server, id, LogTextFrame(10))) << "nothing goes to a client that left";
    EXPECT_EQ(PipeClientRoom(*server, id), 0u);
}

TEST_F(PipeServerTest, AMalformedMessageEndsThatClientAndNoOther)
{
    RecordTrial("bad input",
                "clients that send a frame with a wrong magic, a later version, kind 12345, a kind the service sends, a "
                "header announcing 1 MiB + 1, a Watch of server 17, a command of kind 99, a second Hello, a Watch "
                "before any Hello, a Hello of a later version, or 1000 random bytes",
                "each such client is disconnected at once (the engine's thread is told it left, and hears none of "
                "it); another client joined all along keeps its connection and gets every broadcast");
    auto good = std::make_unique<TestClient>();
    ASSERT_TRUE(good->Connect(name));
    ASSERT_TRUE(TakeJoined(1));
    const PipeClientId goodId = LastJoined();

    const auto hello = static_cast<uint16_t>(WireKind::Hello);
    const auto command = static_cast<uint16_t>(WireKind::Command);
    Bytes noise(1000);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 7919 + 13);
    Bytes badWatch = RawFrame(kWireMagic, kWireVersion, static_cast<uint16_t>(WireKind::Watch), {17, 0}, 2);
    Bytes badCommand = RawFrame(kWireMagic, kWireVersion, command, {1, 0, 0, 0, 99, 0}, 6);
    struct Case {
        const char* name;
        bool helloFirst;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"wrong magic", true, RawFrame(0x31505652, kWireVersion, command, {}, 0)},
        {"a later version", true, RawFrame(kWireMagic, kWireVersion + 1, command, {}, 0)},
        {"kind 12345", true, RawFrame(kWireMagic, kWireVersion, 12345, {}, 0)},
        {"a kind the service sends", true,
         RawFrame(kWireMagic, kWireVersion, static_cast<uint16_t>(WireKind::News), {}, 0)},
        {"1 MiB + 1", true, RawFrame(kWireMagic, kWireVersion, command, {}, kMaxFramePayload + 1)},
        {"watch of server 17", true, badWatch},
        {"command of kind 99", true, badCommand},
        {"a second hello", true, HelloFrame()},
        {"a watch before hello", false, FrameOf(WireKind::Watch, WireWatch{1, 1}, EncodeWatch)},
        {"hello of a later version", false,
         RawFrame(kWireMagic, kWireVersion, hello, {static_cast<uint8_t>(kWireVersion + 1), 0}, 2)},
        {"random bytes", false, noise},
    };
    int broadcasts = 0;
    for (const Case& hostile : cases) {
        SCOPED_TRACE(hostile.name);
        const int joinedBefore = Count(PipeEvent::Joined);
        const int messagesBefore = Count(PipeEvent::Message);
        RawClient client;
        ASSERT_TRUE(client.Open(name));
        PipeClientId id = 0;
        if (hostile.helloFirst) {
            ASSERT_TRUE(client.Write(HelloFrame()));
            ASSERT_TRUE(TakeJoined(joinedBefore + 1));
            id = LastJoined();
            Bytes welcome(64);
            ASSERT_TRUE(client.Read(&welcome, 5000));
            EXPECT_GE(welcome.size(), kFrameHeaderBytes);
        }
        ASSERT_TRUE(client.Write(hostile.bytes));
        EXPECT_TRUE(client.ReadUntilBroken()) << "the service ends the connection";
        if (id != 0) {
            ASSERT_TRUE(TakeLeft(id));
        }
        EXPECT_EQ(Count(PipeEvent::Joined), hostile.helloFirst ? joinedBefore + 1 : joinedBefore);
        EXPECT_EQ(Count(PipeEvent::Message), messagesBefore) << "nothing of it reached the engine's thread";

        // The good client is still there, both ways.
        EXPECT_EQ(BroadcastToPipeClients(*server, LogTextFrame(50)), 1);
        ++broadcasts;
        ASSERT_TRUE(good->WaitForKind(WireKind::LogText, std::size_t(broadcasts)));
        ASSERT_TRUE(SendToService(good->connection, FrameOf(WireKind::Watch, WireWatch{0, 0}, EncodeWatch), 5000));
        ASSERT_TRUE(TakeUntil([&] { return Count(PipeEvent::Message, goodId) == broadcasts; }));
    }
    EXPECT_EQ(Count(PipeEvent::Left, goodId), 0);
}

TEST_F(PipeServerTest, AClientThatStopsReadingIsDroppedAndTheEngineNeverWaits)
{
    RecordTrial("load", "a client that never reads while the engine's thread sends it 200 KB frames as fast as it can",
                "the engine's thread never waits (each send returns at once); the client is dropped when its 8 MiB "
                "backlog would overflow; another client keeps getting every frame");
    RawClient slow;
    ASSERT_TRUE(slow.Open(name));
    ASSERT_TRUE(slow.Write(HelloFrame()));
    ASSERT_TRUE(TakeJoined(1));
    const PipeClientId slowId = LastJoined();
    auto fast = std::make_unique<TestClient>();
    ASSERT_TRUE(fast->Connect(name));
    ASSERT_TRUE(TakeJoined(2));
    const PipeClientId fastId = LastJoined();

    const Bytes frame = LogTextFrame(200'000);
    std::size_t sent = 0;
    auto longest = Clock::duration::zero();
    for (int i = 0; i < 1000; ++i) {
        const auto before = Clock::now();
        const bool queued = SendToPipeClient(*server, slowId, frame);
        longest = std::max(longest, Clock::now() - before);
        if (!queued)
            break;
        sent += frame.size();
    }
    EXPECT_GE(sent + frame.size(), kClientBacklogBytes) << "the backlog was filled before the drop";
    EXPECT_LE(sent, kClientBacklogBytes + 2 * kPipeBufferBytes + 256 * 1024) << "and no more than it and the pipe hold";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 250)
        << "a send copies into the backlog and returns";
    EXPECT_FALSE(SendToPipeClient(*server, slowId, frame)) << "a dropped client takes nothing more";
    ASSERT_TRUE(TakeLeft(slowId));
    EXPECT_TRUE(slow.ReadUntilBroken()) << "its connection is ended";

    // The other client was never held up.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(BroadcastToPipeClients(*server, frame), 1);
    ASSERT_TRUE(fast->WaitForKind(WireKind::LogText, 20));
    EXPECT_EQ(Count(PipeEvent::Left, fastId), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (PipeClientRoom(*server, fastId) != kClientBacklogBytes && Clock::now() < deadline)
        Sleep(1);
    EXPECT_EQ(PipeClientRoom(*server, fastId), kClientBacklogBytes) << "its backlog empties as it reads";
}

TEST_F(PipeServerTest, EightClientsAtOnceAndTheNinthWaitsForAPlace)
{
    std::vector<std::unique_ptr<TestClient>> clients;
    std::vector<PipeClientId> ids;
    for (std::size_t i = 0; i < kMaxPipeClients; ++i) {
        clients.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(clients.back()->Connect(name)) << i;
        ASSERT_TRUE(TakeJoined(static_cast<int>(i) + 1));
        ids.push_back(LastJoined());
    }
    std::vector<PipeClientId> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end()) << "every client has an id of its own";

    // The system answers a ninth with ERROR_PIPE_BUSY; the client waits, then gives up.
    auto ninth = std::make_unique<TestClient>();
    const auto before = Clock::now();
    const bool refused = !ninth->Connect(name, 300);
    const DWORD error = GetLastError();
    EXPECT_TRUE(refused);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(250));

    // When one leaves, the ninth gets its place.
    std::atomic<int> connected{-1};
    std::thread waiting([&] { connected = ninth->Connect(name, 10'000) ? 1 : 0; });
    const PipeClientId leaving = ids[3];
    clients[3]->Close();
    ASSERT_TRUE(TakeLeft(leaving));
    ASSERT_TRUE(TakeJoined(static_cast<int>(kMaxPipeClients) + 1));
    waiting.join();
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(BroadcastToPipeClients(*server, LogTextFrame(10)), static_cast<int>(kMaxPipeClients));
    EXPECT_TRUE(ninth->WaitForKind(WireKind::LogText, 1));
}

TEST_F(PipeServerTest, TenThousandConnectsLeaveTheServerServingWithItsMemoryFlat)
{
    RecordTrial("load",
                "10,000 connects and disconnects: a third closing before Hello, a third after Hello, a third after "
                "reading the Welcome",
                "the engine's thread is told of every client that got its Welcome, and of the leaving of every "
                "client it was told of; private bytes and handles stay flat; a client afterwards is served");
    // The engine's thread counts what it takes, and keeps nothing that would grow.
    int joined = 0;
    int left = 0;
    auto takeCounting = [&] {
        while (const PipeInbound* in = NextPipeInbound(*server)) {
            joined += in->event == PipeEvent::Joined ? 1 : 0;
            left += in->event == PipeEvent::Left ? 1 : 0;
            DonePipeInbound(*server);
        }
    };
    std::atomic<bool> stop{false};
    std::thread engine([&] {
        while (!stop) {
            takeCounting();
            WaitForSingleObject(PipeInboundEvent(*server), INFINITE);
        }
    });
    auto connectOnce = [&](int i) {
        RawClient client;
        if (!client.Open(name))
            return false;
        if (i % 3 == 0)
            return true;
        if (!client.Write(HelloFrame()))
            return false;
        if (i % 3 == 1)
            return true;
        Bytes welcome(64);
        return client.Read(&welcome, 5000) && welcome.size() >= kFrameHeaderBytes;
    };
    int failures = 0;
    for (int i = 0; i < 600; ++i)
        failures += connectOnce(i) ? 0 : 1;
    const long long bytesBefore = PrivateBytes();
    const long long handlesBefore = HandleCount();
    ASSERT_GT(bytesBefore, 0);
    ASSERT_GT(handlesBefore, 0);
    for (int i = 600; i < 10'000; ++i)
        failures += connectOnce(i) ? 0 : 1;
    const long long bytesAfter = PrivateBytes();
    const long long handlesAfter = HandleCount();
    stop = true;
    SetEvent(PipeInboundEvent(*server));
    engine.join();
    EXPECT_EQ(failures, 0);
    EXPECT_LT(bytesAfter, bytesBefore + 64 * 1024) << bytesBefore << " then " << bytesAfter;
    EXPECT_LE(handlesAfter, handlesBefore) << handlesBefore << " then " << handlesAfter;

    // One that said Hello and closed at once may be gone before the server reads it; the
    // 3,333 that read their Welcome were all told of.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (takeCounting(); (joined != left || joined < 3333) && Clock::now() < deadline; takeCounting())
        WaitForSingleObject(PipeInboundEvent(*server), 100);
    EXPECT_EQ(joined, left);
    EXPECT_GE(joined, 3333);
    EXPECT_LE(joined, 6666);

    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(name));
    ASSERT_TRUE(TakeJoined(1));
    EXPECT_EQ(BroadcastToPipeClients(*server, LogTextFrame(10)), 1);
    EXPECT_TRUE(client->WaitForKind(WireKind::LogText, 1));
}

TEST_F(PipeServerTest, OnlySystemAndTheAdministratorsMayOpenThePipe)
{
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(name));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // The owner and group too: the access check below wants a whole descriptor.
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION;
    ASSERT_EQ(GetSecurityInfo(client->connection.pipe, SE_KERNEL_OBJECT, kWhat, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "a pipe without a DACL is open to everyone";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited";
    ASSERT_EQ(dacl->AceCount, 2);
    bool system = false;
    bool administrators = false;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        const auto sid = const_cast<PSID>(static_cast<const void*>(&allowed->SidStart));
        system = system || IsWellKnownSid(sid, WinLocalSystemSid);
        administrators = administrators || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
        // The generic right as given, or as the system maps it for a pipe.
        EXPECT_TRUE(allowed->Mask == GENERIC_ALL || (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS)
            << std::hex << allowed->Mask;
    }
    EXPECT_TRUE(system);
    EXPECT_TRUE(administrators);

    // The system's own access check on that descriptor: this process's token may read
    // and write the pipe; the same token with its Administrators group made deny-only
    // may not. (Wine checks tokens against descriptors so, but lets any token open a
    // pipe whatever its DACL: the refusal of a real open is Windows's alone.)
    HANDLE own = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own));
    std::array<BYTE, SECURITY_MAX_SID_SIZE> administratorsSid{};
    DWORD sidSize = static_cast<DWORD>(administratorsSid.size());
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administratorsSid.data(), &sidSize));
    SID_AND_ATTRIBUTES denyOnly{administratorsSid.data(), 0};
    HANDLE withoutAdministrators = nullptr;
    ASSERT_TRUE(CreateRestrictedToken(own, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &withoutAdministrators));
    EXPECT_TRUE(MayReadAndWrite(descriptor, own));
    EXPECT_FALSE(MayReadAndWrite(descriptor, withoutAdministrators));
    CloseHandle(withoutAdministrators);
    CloseHandle(own);
    LocalFree(descriptor);
}

TEST_F(PipeServerTest, ANameAlreadyTakenIsNotServed)
{
    RecordTrial("faults", "a pipe name made first by someone else (as a program lying in wait for the window would), "
                          "and a second server on a name already served",
                "the server does not start on either (its first instance must be the first); the first serves on");
    const std::wstring squatted = UniquePipeName();
    const HANDLE squatter = CreateNamedPipeW(squatted.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    auto second = std::make_unique<PipeServer>();
    const bool startedOnSquatted = StartPipeServer(*second, {squatted.c_str(), "x", 0});
    const DWORD squattedError = GetLastError();
    StopPipeServer(*second);
    CloseHandle(squatter);
    EXPECT_FALSE(startedOnSquatted);
    EXPECT_EQ(squattedError, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_FALSE(StartPipeServer(*second, {name.c_str(), "x", 0}));
    StopPipeServer(*second);
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(name));
    ASSERT_TRUE(TakeJoined(1));
    EXPECT_EQ(BroadcastToPipeClients(*server, LogTextFrame(10)), 1);
    EXPECT_TRUE(client->WaitForKind(WireKind::LogText, 1));
}

TEST_F(PipeServerTest, AClientThatNeverSaysHelloIsDroppedAfterTheGreetingTime)
{
    StopPipeServer(*server);
    Start(300);
    RawClient silent;
    ASSERT_TRUE(silent.Open(name));
    const auto before = Clock::now();
    EXPECT_TRUE(silent.ReadUntilBroken());
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(250));
    // Saying it late changes nothing; the place is free again for a client that speaks.
    EXPECT_FALSE(silent.Write(HelloFrame()));
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(name));
    ASSERT_TRUE(TakeJoined(1));
    EXPECT_EQ(Count(PipeEvent::Joined), 1);
}

TEST_F(PipeServerTest, NothingIsLostWhenTheEngineFallsBehind)
{
    RecordTrial("load", "a client sends 300 commands and another joins while the engine's thread takes nothing",
                "the queue fills and the pipe thread stops reading; then the engine's thread gets every command, "
                "in order, and the second client's arrival");
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(name));
    ASSERT_TRUE(TakeJoined(1));
    const PipeClientId id = LastJoined();
    for (uint32_t i = 0; i < 300; ++i)
        ASSERT_TRUE(SendToService(client->connection, CommandFrame(i, i * 2), 5000));
    auto second = std::make_unique<TestClient>();
    ASSERT_TRUE(second->Connect(name));
    // The queue fills while the engine's thread looks away.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (WaitingRequests(server->inbound) < kInboundMessages && Clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(WaitingRequests(server->inbound), kInboundMessages);

    ASSERT_TRUE(TakeUntil([&] { return Count(PipeEvent::Message) == 300 && Count(PipeEvent::Joined) == 2; }));
    uint32_t next = 0;
    for (const Taken& t : taken) {
        if (t.event != PipeEvent::Message)
            continue;
        EXPECT_EQ(t.client, id);
        EXPECT_EQ(t.commandId, next);
        EXPECT_EQ(t.fileId, next * 2);
        ++next;
    }
    EXPECT_EQ(next, 300u);
}
