#include "vision/ostrack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "tests/vision_support.h"

using namespace Corvina::Testing;
using Anything::TDrOBB;
using Anything::Fmx::TFMXOSTrack;
using Fmx::Graphics::TBitmap;

namespace {

class OSTrackTest : public VisionFakeTest {
 protected:
  std::unique_ptr<TFMXOSTrack> ActiveTracker() {
    auto tracker = std::make_unique<TFMXOSTrack>(nullptr);
    tracker->SetModel(Model());
    tracker->SetActive(true);
    return tracker;
  }
};

}  // namespace

TEST_F(OSTrackTest, InitTrackPassesTheRectangleEdgesAsTheyAre) {
  auto tracker = ActiveTracker();
  auto frame = Gradient(9, 6);
  tracker->InitTrack(frame.get(), {10, 20, 110, 70});
  EXPECT_FALSE(frame->IsMapped());
  const auto calls = Sam2().Calls("ostrack_init_image");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Ints, (std::vector<std::int64_t>{10, 20, 110, 70}));
  EXPECT_EQ(calls[0].Images[0].Width, 9);
  EXPECT_EQ(calls[0].Images[0].Height, 6);
  EXPECT_EQ(calls[0].Images[0].Pitch, 36);
  EXPECT_EQ(calls[0].Images[0].Pixels, PixelBytes(*frame));
}

TEST_F(OSTrackTest, TrackLetsTheLibraryFillTheCallersRecord) {
  auto tracker = ActiveTracker();
  auto first = Gradient(9, 6);
  auto next = Gradient(12, 4);
  tracker->InitTrack(first.get(), {1, 2, 3, 4});
  const TDrOBB scripted{{5.5f, 6.5f, 7.5f, 8.5f}, 0.75f, 3};
  Sam2().SetTrackResult(scripted);
  TDrOBB result{};
  tracker->Track(next.get(), &result);
  EXPECT_EQ(result.box.x0, 5.5f);
  EXPECT_EQ(result.box.y1, 8.5f);
  EXPECT_EQ(result.score, 0.75f);
  EXPECT_EQ(result.class_id, 3);
  const auto calls = Sam2().Calls("ostrack_track");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Pointers[0], &result);
  EXPECT_EQ(calls[0].Images[0].Pixels, PixelBytes(*next));
  EXPECT_FALSE(next->IsMapped());
}

TEST_F(OSTrackTest, FaultsRaiseClearMessagesWithoutCallingTheLibrary) {
  auto frame = Gradient(4, 4);
  TBitmap empty;
  TDrOBB result{};
  const struct {
    const char* Name;
    std::function<void(TFMXOSTrack&)> Act;
    const char16_t* Message;
    const char* Entry;
  } cases[] = {
      {"track before InitTrack", [&](TFMXOSTrack& t) { t.Track(frame.get(), &result); },
       u"OSTrack has no target: call InitTrack first", "ostrack_track"},
      {"track after reactivation",
       [&](TFMXOSTrack& t) {
         t.InitTrack(frame.get(), {0, 0, 2, 2});
         t.SetActive(false);
         t.SetActive(true);
         t.Track(frame.get(), &result);
       },
       u"OSTrack has no target: call InitTrack first", "ostrack_track"},
      {"nil bbox",
       [&](TFMXOSTrack& t) {
         t.InitTrack(frame.get(), {0, 0, 2, 2});
         t.Track(frame.get(), nullptr);
       },
       u"OSTrack.Track: bbox is nil", "ostrack_track"},
      {"nil frame to Track", [&](TFMXOSTrack& t) { t.Track(nullptr, &result); }, u"OSTrack.Track: Image is nil",
       "ostrack_track"},
      {"nil frame to InitTrack", [&](TFMXOSTrack& t) { t.InitTrack(nullptr, {0, 0, 2, 2}); },
       u"OSTrack.InitTrack: Image is nil", "ostrack_init_image"},
      {"empty frame to InitTrack", [&](TFMXOSTrack& t) { t.InitTrack(&empty, {0, 0, 2, 2}); },
       u"OSTrack.InitTrack: Image is empty (0 x 0)", "ostrack_init_image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Sam2().Reset();
    auto tracker = ActiveTracker();
    EXPECT_EQ(MessageOf([&] { c.Act(*tracker); }), c.Message);
    EXPECT_TRUE(Sam2().Calls(c.Entry).empty());
    EXPECT_FALSE(frame->IsMapped());
  }
}

TEST_F(OSTrackTest, AFailingLibraryCallUnmapsTheFrame) {
  for (const char* entry : {"ostrack_init_image", "ostrack_track"}) {
    SCOPED_TRACE(entry);
    Sam2().Reset();
    auto tracker = ActiveTracker();
    auto frame = Gradient(5, 5);
    TDrOBB result{};
    if (std::string(entry) == "ostrack_track") tracker->InitTrack(frame.get(), {0, 0, 2, 2});
    Sam2().SetThrows(entry);
    if (std::string(entry) == "ostrack_track") {
      EXPECT_THROW(tracker->Track(frame.get(), &result), std::runtime_error);
    } else {
      EXPECT_THROW(tracker->InitTrack(frame.get(), {0, 0, 2, 2}), std::runtime_error);
    }
    EXPECT_FALSE(frame->IsMapped());
    Sam2().SetThrows(entry, false);
  }
}
