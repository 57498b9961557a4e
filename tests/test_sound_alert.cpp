#include <atomic>
#include <string>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/product.h"
#include "windows/sound_alert.h"
#include "support/test_support.h"

namespace {

int sounds = 0;
int signalsDuringSound = 0;
int signalsDuringPause = 0;

void CountSound()
{
    ++sounds;
    for (int i = 0; i < signalsDuringSound; ++i)
        SignalSoundAlert();
}

void Pause()
{
    for (int i = 0; i < signalsDuringPause; ++i)
        SignalSoundAlert();
}

constexpr SoundAlertActions kCounting = {CountSound, Pause};

// The platform's sound, each one counted as it returns; no pause, so that a test
// need not wait ten seconds for the next round.
std::atomic<int> platformSounds{0};
HANDLE soundReturned = nullptr;

void PlayAndCount()
{
    PlayWarningSound();
    ++platformSounds;
    SetEvent(soundReturned);
}

constexpr SoundAlertActions kPlatformSound = {PlayAndCount, [] {}};

DWORD WINAPI TwoPlatformRounds(LPVOID)
{
    DWORD rounds = 0;
    while (rounds < 2 && RunSoundAlertRound(kPlatformSound))
        ++rounds;
    return rounds;
}

class SoundAlertTest : public QuorvelTest {
protected:
    void SetUp() override
    {
        QuorvelTest::SetUp();
        CreateSoundAlertEvent();
        sounds = signalsDuringSound = signalsDuringPause = 0;
    }
    void TearDown() override
    {
        if (!hiddenSound.empty())
            MoveFileExA((hiddenSound + ".away").c_str(), hiddenSound.c_str(), MOVEFILE_REPLACE_EXISTING);
        QuorvelTest::TearDown();
    }
    bool Pending() const { return WaitForSingleObject(windowState.soundAlertEvent, 0) == WAIT_OBJECT_0; }
    // warning.wav taken away from beside the program until the test ends.
    bool HideWarningSound()
    {
        const std::string path = std::string(ProgramFolderPath().data()) + kWarningSound;
        if (MoveFileExA(path.c_str(), (path + ".away").c_str(), MOVEFILE_REPLACE_EXISTING))
            hiddenSound = path;
        return !FileExists(path);
    }
    std::string hiddenSound;
};

}  // namespace

TEST_F(SoundAlertTest, ABurstGivesOneSound)
{
    for (int i = 0; i < 10; ++i)
        SignalSoundAlert();
    ASSERT_TRUE(RunSoundAlertRound(kCounting));
    EXPECT_EQ(sounds, 1);
    EXPECT_FALSE(Pending()) << "the ten signals merged into the one sound";
}

TEST_F(SoundAlertTest, SignalsDuringTheSoundOrThePauseGiveAtMostOneMore)
{
    SignalSoundAlert();
    signalsDuringSound = 3;
    signalsDuringPause = 5;
    ASSERT_TRUE(RunSoundAlertRound(kCounting));
    EXPECT_EQ(sounds, 1);
    EXPECT_TRUE(Pending());
    signalsDuringSound = signalsDuringPause = 0;
    ASSERT_TRUE(RunSoundAlertRound(kCounting));
    EXPECT_EQ(sounds, 2);
    EXPECT_FALSE(Pending());
}

TEST_F(SoundAlertTest, TheEventIsManualResetAndStartsClear)
{
    EXPECT_FALSE(Pending());
    SignalSoundAlert();
    EXPECT_TRUE(Pending());
    EXPECT_TRUE(Pending()) << "waiting does not consume it; the worker resets it";
}

TEST_F(SoundAlertTest, TheWorkerThreadEndsWhenItsEventIsGone)
{
    HANDLE event = windowState.soundAlertEvent;
    windowState.soundAlertEvent = nullptr;
    EXPECT_FALSE(RunSoundAlertRound(kCounting));
    EXPECT_EQ(sounds, 0);
    CloseHandle(event);
}

TEST_F(SoundAlertTest, AMissingSoundFileConsumesTheSignalAndTheNextSignalPlaysAgain)
{
    ASSERT_TRUE(HideWarningSound());
    platformSounds = 0;
    soundReturned = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE worker = CreateThread(nullptr, 0, TwoPlatformRounds, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    SignalSoundAlert();
    EXPECT_EQ(WaitForSingleObject(soundReturned, 10000), WAIT_OBJECT_0) << "the sound returns";
    EXPECT_FALSE(Pending()) << "the signal was taken";
    EXPECT_EQ(WaitForSingleObject(worker, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the worker waits again";
    SignalSoundAlert();
    EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0) << "the next signal plays again";
    DWORD rounds = 0;
    GetExitCodeThread(worker, &rounds);
    EXPECT_EQ(rounds, 2u);
    EXPECT_EQ(platformSounds, 2);
    if (WaitForSingleObject(worker, 0) == WAIT_TIMEOUT)
        TerminateThread(worker, 0);  // stuck: it must not take a later test's signals
    CloseHandle(worker);
    CloseHandle(soundReturned);
}
