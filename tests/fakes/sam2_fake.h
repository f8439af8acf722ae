// The recording fake of the vision library (lib/fakes/sam2/libsam2.so): all
// 35 entry points, each call recorded with deep copies of what it received,
// results scripted by the test. Shared by the fake and the suites that load
// it; the test side reaches the fake's control functions by name through
// TFakeSam2.
//
// What a call records, per entry point (Ints and Floats in argument order):
//   *_init               Texts: the model texts (sam_init: encoder, decoder,
//                        device); Ints: GPU device number; Floats: thresholds
//                        or fidelity; Pointers: arg and callback (voice)
//   image-taking calls   Images[0]: the mapped image (geometry and, when the
//                        pixels are readable, a copy of width x 4 bytes per
//                        row); lama_/rmbg_execute: Images[1] is the mask or
//                        background read with the same geometry
//   sam_add_point/rect   Ints: x, y (, width, height)
//   ostrack_init_image   Ints: left, top, right, bottom; ostrack_track:
//                        Pointers[0] the result record's address
//   lp_execute           Ints: frame number
//   face_* execute       Arrays: the landmarks (10 floats), the embedding;
//                        Ints: the embedding length; Pointers: out arguments
//   voice_extractor_execute  Ints: sample count; Arrays[0]: the samples
// Every call records Context (the ctx argument, null for _init) and Thread.
#pragma once

#include "tests/support/native_library.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "binding/anything.h"

namespace Corvina::Fake {

struct TFakeImage {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t Pitch = 0;
  std::vector<std::uint8_t> Pixels;  // Height rows of Width x 4 bytes, empty when unreadable
};

struct TFakeCall {
  std::string Entry;
  const void* Context = nullptr;
  std::vector<std::string> Texts;
  std::vector<std::int64_t> Ints;
  std::vector<float> Floats;
  std::vector<TFakeImage> Images;
  std::vector<std::vector<float>> Arrays;
  std::vector<const void*> Pointers;
  std::thread::id Thread;
};

// Families: "sam", "ostrack", "lama", "rmbg", "lp", "face_detector",
// "face_enhancer", "face_swapper", "voice_extractor".
extern "C" {
using fake_sam2_reset_fn = void();                      // log, scripts and counters back to their defaults
using fake_sam2_set_recording_fn = void(bool on);       // off: nothing is copied (benchmarks)
using fake_sam2_calls_fn = void(std::vector<TFakeCall>* out);
using fake_sam2_set_init_fails_fn = void(const char* family, bool fails);  // its _init returns null
// The entry point throws std::runtime_error("fake <entry> failed") instead of
// working, as a library that raises.
using fake_sam2_set_throws_fn = void(const char* entry, bool throws);
using fake_sam2_set_delay_fn = void(const char* entry, std::int32_t milliseconds);
// Result buffer of sam_get_rect_mask, sam_get_point_mask, lama_execute,
// rmbg_execute, lp_execute, face_enhancer_execute or face_swapper_execute:
// these bytes (copied) from now on; null data makes the entry return null.
// Unscripted, masks are (3x + 5y) & 255 at pixel (x, y) of the loaded image
// and image results are the B, G, R bytes of the image passed.
using fake_sam2_set_buffer_fn = void(const char* entry, const std::uint8_t* data, std::size_t size);
// What ostrack_track writes; unscripted, the last InitTrack edges, score 1, class 0.
using fake_sam2_set_track_result_fn = void(const Anything::TDrOBB* result);
// The faces face_detector_execute hands out (copied into the context).
using fake_sam2_set_faces_fn = void(const Anything::TBBox* faces, std::int32_t count);
// What face_detector_landmark_5 writes into the record and hands out.
using fake_sam2_set_landmarks_fn = void(const float* landmark_5, const float* landmark_68);
using fake_sam2_set_feature_fn = void(const float* feature, std::int32_t length);
// face_detector_landmark_5: record i of the last face_detector_execute gets
// vector i (cycled) of these instead of the one feature; count 0 goes back to
// the one feature. The vectors are laid end to end, lengths[k] floats each.
using fake_sam2_set_features_fn = void(const float* data, const std::int32_t* lengths, std::int32_t count);
// voice_extractor_execute: vocals are these values (cycled to the sample
// count), unscripted half of each sample; progress reports are made in
// order, from a thread of the fake's own when other_thread is set; after
// them it hands out no vocals when set_buffer scripted null data for
// "voice_extractor_execute".
using fake_sam2_set_vocals_fn = void(const float* vocals, std::int32_t length);
using fake_sam2_set_progress_fn = void(const std::int32_t* values, std::int32_t count, bool other_thread);
using fake_sam2_live_contexts_fn = std::int32_t();     // created and not yet destroyed
using fake_sam2_foreign_contexts_fn = std::int32_t();  // calls with a null, unknown or other family's ctx
using fake_sam2_loaded_at_fn = std::int64_t();          // CLOCK_MONOTONIC ns when the library was loaded
}

// The test's handle on one fake library file: opening the same path as
// LoadAnyLibs reaches the same loaded object.
class TFakeSam2 {
 public:
  explicit TFakeSam2(const std::string& path) : FHandle(Testing::OpenLibrary(path)) {
    if (!FHandle) throw std::runtime_error("cannot open the fake: " + Testing::LibraryError());
  }
  ~TFakeSam2() { Testing::CloseLibrary(FHandle); }
  TFakeSam2(const TFakeSam2&) = delete;
  TFakeSam2& operator=(const TFakeSam2&) = delete;

  void Reset() const { Get<fake_sam2_reset_fn>("fake_sam2_reset")(); }
  void SetRecording(bool on) const { Get<fake_sam2_set_recording_fn>("fake_sam2_set_recording")(on); }
  std::vector<TFakeCall> Calls() const {
    std::vector<TFakeCall> calls;
    Get<fake_sam2_calls_fn>("fake_sam2_calls")(&calls);
    return calls;
  }
  std::vector<TFakeCall> Calls(std::string_view entry) const {
    std::vector<TFakeCall> out;
    for (TFakeCall& c : Calls())
      if (c.Entry == entry) out.push_back(std::move(c));
    return out;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const TFakeCall& c : Calls()) names.push_back(c.Entry);
    return names;
  }
  void SetInitFails(const char* family, bool fails = true) const {
    Get<fake_sam2_set_init_fails_fn>("fake_sam2_set_init_fails")(family, fails);
  }
  void SetThrows(const char* entry, bool throws = true) const {
    Get<fake_sam2_set_throws_fn>("fake_sam2_set_throws")(entry, throws);
  }
  void SetDelay(const char* entry, std::int32_t ms) const { Get<fake_sam2_set_delay_fn>("fake_sam2_set_delay")(entry, ms); }
  void SetBuffer(const char* entry, const std::vector<std::uint8_t>& bytes) const {
    Get<fake_sam2_set_buffer_fn>("fake_sam2_set_buffer")(entry, bytes.data(), bytes.size());
  }
  void SetNullResult(const char* entry) const { Get<fake_sam2_set_buffer_fn>("fake_sam2_set_buffer")(entry, nullptr, 0); }
  void SetTrackResult(const Anything::TDrOBB& r) const {
    Get<fake_sam2_set_track_result_fn>("fake_sam2_set_track_result")(&r);
  }
  void SetFaces(const std::vector<Anything::TBBox>& faces) const {
    Get<fake_sam2_set_faces_fn>("fake_sam2_set_faces")(faces.data(), static_cast<std::int32_t>(faces.size()));
  }
  void SetLandmarks(const float* landmark5, const float* landmark68) const {
    Get<fake_sam2_set_landmarks_fn>("fake_sam2_set_landmarks")(landmark5, landmark68);
  }
  void SetFeature(const std::vector<float>& feature) const {
    Get<fake_sam2_set_feature_fn>("fake_sam2_set_feature")(feature.data(), static_cast<std::int32_t>(feature.size()));
  }
  void SetFeatures(const std::vector<std::vector<float>>& features) const {
    std::vector<float> data;
    std::vector<std::int32_t> lengths;
    for (const auto& f : features) {
      data.insert(data.end(), f.begin(), f.end());
      lengths.push_back(static_cast<std::int32_t>(f.size()));
    }
    Get<fake_sam2_set_features_fn>("fake_sam2_set_features")(data.data(), lengths.data(),
                                                               static_cast<std::int32_t>(lengths.size()));
  }
  void SetVocals(const std::vector<float>& vocals) const {
    Get<fake_sam2_set_vocals_fn>("fake_sam2_set_vocals")(vocals.data(), static_cast<std::int32_t>(vocals.size()));
  }
  void SetProgress(const std::vector<std::int32_t>& values, bool otherThread) const {
    Get<fake_sam2_set_progress_fn>("fake_sam2_set_progress")(values.data(), static_cast<std::int32_t>(values.size()),
                                                             otherThread);
  }
  std::int32_t LiveContexts() const { return Get<fake_sam2_live_contexts_fn>("fake_sam2_live_contexts")(); }
  std::int32_t ForeignContexts() const { return Get<fake_sam2_foreign_contexts_fn>("fake_sam2_foreign_contexts")(); }
  std::int64_t LoadedAt() const { return Get<fake_sam2_loaded_at_fn>("fake_sam2_loaded_at")(); }

 private:
  template <class F>
  F* Get(const char* name) const {
    void* p = Testing::LibrarySymbol(FHandle, name);
    if (!p) throw std::runtime_error(std::string("the fake lacks ") + name);
    return reinterpret_cast<F*>(p);
  }

  void* FHandle;
};

}  // namespace Corvina::Fake
