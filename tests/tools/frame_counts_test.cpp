// What the tool and the viewer tell from the frames' metadata (FrameCounts),
// on made-up metadata: the arithmetic, without a camera or a clock.
#include <gtest/gtest.h>

#include <climits>

#include "frame_counts.h"

namespace kalvex::tooltest {
namespace {

using kalvex_tool::FrameCounts;
using kalvex_tool::FrameIdOf;
using kalvex_tool::FrameIdText;

constexpr int64_t kFrameNs = 1000000000 / 30;  // 30 frames a second
constexpr uint32_t kNoNuc = KALVEX_FRAME_NO_NUC;

KalvexFrameInfo Info(uint32_t sequence, uint32_t camera, int64_t ns, uint32_t sinceNuc = kNoNuc) {
    KalvexFrameInfo info{};
    info.size = sizeof info;
    info.sequence = sequence;
    info.cameraFrame = camera;
    info.timestampNs = ns;
    info.framesSinceNuc = sinceNuc;
    return info;
}

// A camera at 30 frames a second whose frames the library takes one by one.
struct Camera {
    uint32_t sequence = 0, camera = 0, sinceNuc = kNoNuc;
    int64_t ns = 1000000000;

    // The next frame the camera sends; taken by the library unless not.
    KalvexFrameInfo Next(bool taken = true) {
        ++camera;
        ns += kFrameNs;
        if (taken) {
            ++sequence;
            if (sinceNuc != kNoNuc) ++sinceNuc;
        }
        return Info(sequence, camera, ns, sinceNuc == kNoNuc ? kNoNuc : sinceNuc - 1);
    }
    void Nuc() { sinceNuc = 0; }
};

TEST(FrameIds, AreShownAsOneUnsignedDecimalNumber) {
    // The id of the example download, kalvex--177899571.png before.
    EXPECT_EQ(FrameIdText(FrameIdOf(-177899571)), "4117067725");
    EXPECT_EQ(FrameIdText(FrameIdOf(INT_MIN)), "2147483648");
    EXPECT_EQ(FrameIdText(FrameIdOf(-1)), "4294967295");
    EXPECT_EQ(FrameIdText(FrameIdOf(1)), "1");
    EXPECT_EQ(FrameIdText(0xF5654ECDu), "4117057229");
    // A frame message's lParam is a long that holds the id's int.
    const long lParam = static_cast<int32_t>(0x80000001u);
    EXPECT_EQ(FrameIdOf(lParam), 0x80000001u);
    EXPECT_EQ(FrameIdText(FrameIdOf(lParam)), "2147483649");
}

TEST(FrameCounts, ASteadyStreamLosesNothingAndRunsAtTheCamerasRate) {
    FrameCounts counts;
    Camera cam;
    EXPECT_EQ(counts.Fps(), 0.0);
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Fps(), 0.0);  // one frame tells no rate
    for (int i = 0; i < 59; ++i) counts.Read(cam.Next());
    EXPECT_NEAR(counts.Fps(), 30.0, 1e-6);
    EXPECT_EQ(counts.Lost(), 0);
    EXPECT_EQ(counts.Held(), 0);
    EXPECT_EQ(counts.Paused(), 0);
    EXPECT_EQ(counts.Dropped(), 0);
    EXPECT_EQ(counts.FramesRead(), 60);
}

TEST(FrameCounts, EveryNucAddsTheFramesOfItsHoldAndTheRateLeavesTheHoldOut) {
    FrameCounts counts;
    Camera cam;
    // A table loaded before capture: its NUC holds the run's first 36 frames.
    cam.Nuc();
    for (int i = 0; i < 36; ++i) cam.Next();
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Held(), 36);
    for (int i = 0; i < 29; ++i) counts.Read(cam.Next());
    // A NUC later on: 36 more held back (1.2 s at 30 frames a second).
    cam.Nuc();
    for (int i = 0; i < 36; ++i) cam.Next();
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Held(), 72);
    for (int i = 0; i < 29; ++i) counts.Read(cam.Next());
    EXPECT_EQ(counts.Lost(), 0);
    EXPECT_EQ(counts.Paused(), 0);
    EXPECT_EQ(counts.Dropped(), 72);
    // Over the frames' times, not over the 2.4 s of holds (which would read 14.3).
    EXPECT_NEAR(counts.Fps(), 30.0, 1e-6);
}

TEST(FrameCounts, APauseAddsTheFramesTheCameraSentMeanwhile) {
    FrameCounts counts;
    Camera cam;
    for (int i = 0; i < 10; ++i) counts.Read(cam.Next());
    // Paused: two frames published before the pause are still queued; the
    // camera goes on sending for 3 s, which the library does not take.
    KalvexFrameInfo queued1 = cam.Next(), queued2 = cam.Next();
    for (int i = 0; i < 90; ++i) cam.Next(false);
    counts.Resuming(queued2.timestampNs);
    counts.Read(queued1);
    counts.Read(queued2);
    EXPECT_EQ(counts.Paused(), 0);
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Paused(), 90);
    EXPECT_EQ(counts.Lost(), 0);
    for (int i = 0; i < 10; ++i) counts.Read(cam.Next());
    // The next gap in the camera's counter is no pause's.
    cam.Next(false);
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Paused(), 90);
    EXPECT_EQ(counts.Lost(), 1);
    EXPECT_EQ(counts.Dropped(), 91);
    // The 3 s are left out; the frame the library did not take shows: 22
    // frames taken over 23 frame times.
    EXPECT_NEAR(counts.Fps(), 30.0 * 22 / 23, 1e-6);
}

TEST(FrameCounts, APauseOverANucHoldCountsBothApart) {
    FrameCounts counts;
    Camera cam;
    for (int i = 0; i < 5; ++i) counts.Read(cam.Next());
    const int64_t newest = cam.ns;  // the last frame published
    cam.Nuc();
    for (int i = 0; i < 10; ++i) cam.Next();       // held
    for (int i = 0; i < 60; ++i) cam.Next(false);  // paused, not taken
    counts.Resuming(newest);
    for (int i = 0; i < 26; ++i) cam.Next();  // the rest of the hold
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Held(), 36);
    EXPECT_EQ(counts.Paused(), 60);
    EXPECT_EQ(counts.Lost(), 0);
}

TEST(FrameCounts, OverwrittenSkippedAndUntakenFramesAreLost) {
    FrameCounts counts;
    Camera cam;
    counts.Read(cam.Next());
    // Two frames announced, their slots reused before they were read.
    cam.Next();
    cam.Next();
    counts.OverwrittenBeforeRead();
    counts.OverwrittenBeforeRead();
    EXPECT_EQ(counts.Lost(), 2);  // at once, before the next frame is read
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Lost(), 2);
    EXPECT_EQ(counts.Overwritten(), 2);
    EXPECT_EQ(counts.Held(), 0);
    // Published but never heard of (a poll that came too late), no NUC between.
    for (int i = 0; i < 4; ++i) cam.Next();
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Lost(), 6);
    // Sent by the camera, never taken by the library.
    for (int i = 0; i < 3; ++i) cam.Next(false);
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Lost(), 9);
    EXPECT_EQ(counts.Held(), 0);
    EXPECT_EQ(counts.Paused(), 0);
    // The rate is the library's: the overwritten and skipped frames count (it
    // took them), the three it never took do not: 9 frames over 12 frame times.
    EXPECT_NEAR(counts.Fps(), 30.0 * 9 / 12, 1e-6);
}

TEST(FrameCounts, ANucHoldAmongOverwrittenFramesIsStillTheHold) {
    FrameCounts counts;
    Camera cam;
    counts.Read(cam.Next());
    cam.Nuc();
    for (int i = 0; i < 36; ++i) cam.Next();  // held
    cam.Next();                               // published, overwritten
    counts.OverwrittenBeforeRead();
    counts.Read(cam.Next());
    EXPECT_EQ(counts.Held(), 36);
    EXPECT_EQ(counts.Lost(), 1);
}

TEST(FrameCounts, EveryFrameTheCameraSentIsReadOrCountedOnceAndNoCountGoesDown) {
    FrameCounts counts;
    Camera cam;
    long lost = 0, held = 0, paused = 0;
    auto check = [&] {
        EXPECT_GE(counts.Lost(), lost);
        EXPECT_GE(counts.Held(), held);
        EXPECT_GE(counts.Paused(), paused);
        lost = counts.Lost();
        held = counts.Held();
        paused = counts.Paused();
    };
    cam.Nuc();
    for (int step = 0; step < 400; ++step) {
        const int kind = (step * 7919) % 23;
        if (kind == 0) {
            cam.Nuc();
            for (int i = 0; i < step % 5; ++i) cam.Next();  // its hold
        } else if (kind == 1) {
            cam.Next();  // published, overwritten
            counts.OverwrittenBeforeRead();
        } else if (kind == 2) {
            cam.Next(false);  // not taken
        } else if (kind == 3) {
            const int64_t newest = cam.ns;
            for (int i = 0; i < 5; ++i) cam.Next(false);
            counts.Resuming(newest);
        } else {
            counts.Read(cam.Next());
        }
        check();
    }
    // The last step read a frame: every frame the camera sent up to it is
    // accounted for exactly once.
    counts.Read(cam.Next());
    EXPECT_EQ(counts.FramesRead() + counts.Dropped(), static_cast<long>(cam.camera));
}

TEST(FrameCounts, ANewRunCountsOnAndTakesNoRateAcrossTheGap) {
    FrameCounts counts;
    Camera cam;
    for (int i = 0; i < 30; ++i) counts.Read(cam.Next());
    // Capture starts again a minute later: numbers begin at 1 again.
    counts.NewRun();
    Camera again;
    again.ns = cam.ns + 60000000000;
    again.Nuc();
    for (int i = 0; i < 36; ++i) again.Next();
    for (int i = 0; i < 30; ++i) counts.Read(again.Next());
    EXPECT_EQ(counts.Held(), 36);
    EXPECT_EQ(counts.Lost(), 0);
    EXPECT_NEAR(counts.Fps(), 30.0, 1e-6);
    // A host that did not say so: a smaller sequence number starts a run too.
    Camera third;
    third.ns = again.ns + 60000000000;
    for (int i = 0; i < 30; ++i) counts.Read(third.Next());
    EXPECT_EQ(counts.Lost(), 0);
    EXPECT_NEAR(counts.Fps(), 30.0, 1e-6);
}

}  // namespace
}  // namespace kalvex::tooltest
