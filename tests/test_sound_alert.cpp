#include "core/app_state.h"
#include "notify/sound_alert.h"
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

class SoundAlertTest : public QuorvelTest {
protected:
    void SetUp() override
    {
        QuorvelTest::SetUp();
        CreateSoundAlertEvent();
        sounds = signalsDuringSound = signalsDuringPause = 0;
    }
    bool Pending() const { return WaitForSingleObject(appState.soundAlertEvent, 0) == WAIT_OBJECT_0; }
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
    HANDLE event = appState.soundAlertEvent;
    appState.soundAlertEvent = nullptr;
    EXPECT_FALSE(RunSoundAlertRound(kCounting));
    EXPECT_EQ(sounds, 0);
    CloseHandle(event);
}

TEST_F(SoundAlertTest, AMissingSoundFileStillReturns)
{
    PlayWarningSound();  // the platform's default sound, or nothing without a sound device
    SUCCEED();
}
