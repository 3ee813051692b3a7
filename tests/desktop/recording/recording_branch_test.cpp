// The recording tail behind a tee, as a session that shares one encoder between its
// WebRTC peer and its recording will use it: ending the recording must not stop the
// other branch.

#include "desktop/recording/recording_branch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "desktop/recording/media_check.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

TEST(RecordingBranch, EndsBehindATeeWhileTheOtherBranchKeepsFlowing) {
  gst_init(nullptr, nullptr);
  testing::TempDir dir;
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      "videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=30/1"
      " ! videoconvert ! video/x-raw,format=I420"
      " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=30 ! h264parse"
      " ! tee name=t t. ! queue ! fakesink name=peer sync=false",
      &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");

  std::atomic<int> peerBuffers = 0;
  GstElement* peer = gst_bin_get_by_name(GST_BIN(pipeline), "peer");
  GstPad* peerPad = gst_element_get_static_pad(peer, "sink");
  gst_pad_add_probe(
      peerPad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo*, gpointer count) {
        ++*static_cast<std::atomic<int>*>(count);
        return GST_PAD_PROBE_OK;
      },
      &peerBuffers, nullptr);

  auto branch = RecordingBranch::create(GST_BIN(pipeline), dir.file("shared.mp4"));
  ASSERT_TRUE(branch) << branch.error().message;
  GstElement* tee = gst_bin_get_by_name(GST_BIN(pipeline), "t");
  GstPad* teePad = gst_element_request_pad_simple(tee, "src_%u");
  ASSERT_EQ(gst_pad_link(teePad, branch->sinkPad()), GST_PAD_LINK_OK);
  std::promise<void> finished;
  branch->onFinished([&] { finished.set_value(); });

  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  std::this_thread::sleep_for(2200ms);
  // Every frame that reached the tee so far went down both branches.
  const int beforeDetach = peerBuffers.load();
  branch->detachAndEnd();
  finished.get_future().get();

  const int atEnd = peerBuffers.load();
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(peerBuffers.load(), atEnd + 5) << "the peer branch still flows";

  auto media = testing::decodeMp4(dir.file("shared.mp4"));
  EXPECT_EQ(media.error, "");
  EXPECT_EQ(media.width, 320);
  EXPECT_GE(media.frames, std::max(beforeDetach, 1));

  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_element_release_request_pad(tee, teePad);
  for (GstObject* o :
       {GST_OBJECT(teePad), GST_OBJECT(tee), GST_OBJECT(peerPad), GST_OBJECT(peer)}) {
    gst_object_unref(o);
  }
  gst_object_unref(pipeline);
}

}  // namespace
}  // namespace vela
