// What the desktop relay adds to a signalling round trip. A frame of the size of an
// ICE candidate goes out and its answer comes back, 300 times each way, paced below the
// rate the daemon lets a helper send at:
//   direct   handed between the gateway's receive thread and the session's thread in
//            one process, as when the daemon serves the screen itself;
//   relayed  through the daemon's relay socket to a helper's client and back.
// Prints both medians and the difference beside its goal (< 1 ms).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "desktop/ipc/desktop_ipc_client.h"
#include "desktop/ipc/desktop_ipc_server.h"
#include "util/serial_queue.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 300;
// The relay passes a helper's frames at 100 per second after a burst; the pause keeps
// the measurement off that limit and is not timed.
constexpr auto kPause = std::chrono::milliseconds(12);

double medianMs(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

template <typename Send>
std::vector<double> roundTrips(Send send, vela::Semaphore& answered) {
  std::vector<double> samples;
  for (int i = 0; i < kRounds; ++i) {
    auto start = Clock::now();
    send();
    answered.wait();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::this_thread::sleep_for(kPause);
  }
  return samples;
}

}  // namespace

int main() {
  const std::string frame = R"({"type":"desktop.signal","session_id":"bench","data":")" + std::string(600, 'c') + "\"}";

  vela::Semaphore directAnswer;
  vela::SerialQueue session("bench.session");
  auto direct = roundTrips([&] { session.async([&, copy = frame] {
    if (!copy.empty()) directAnswer.signal();
  }); }, directAnswer);

  char dir[] = "/tmp/vela-ipc-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string path = std::string(dir) + "/relay.sock";
  auto server = vela::DesktopIPCServer::create(path, std::nullopt);
  vela::Semaphore relayAnswer;
  server->setUpstream([&](std::string) { relayAnswer.signal(); });
  if (!server->start()) return 1;
  vela::DesktopIPCClient client(path);
  client.onLine = [&](std::string line) { client.send(line); };
  if (!client.connect()) return 1;
  while (!server->hasHelperForTesting()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The relay passes a helper's frames only for sessions the gateway opened through it.
  server->forward(*vela::SessionFrame::parse(R"({"type":"desktop.open","session_id":"bench"})"));
  // The gateway client reads the frame's envelope once, then hands it on.
  auto relayed = roundTrips([&] { server->forward(*vela::SessionFrame::parse(frame)); }, relayAnswer);
  client.close();
  server->stop();
  rmdir(dir);

  double directMs = medianMs(direct), relayedMs = medianMs(relayed);
  std::printf("signalling round trip, median of %d: direct %.3f ms, through the relay %.3f ms\n", kRounds,
              directMs, relayedMs);
  std::printf("relay adds %.3f ms (goal < 1 ms): %s\n", relayedMs - directMs,
              relayedMs - directMs < 1.0 ? "met" : "MISSED");
  return 0;
}
