#include <openssl/crypto.h>

#include <string>
#include <vector>

#include "net/websocket_io.h"
#include "platform/process_memory.h"
#include "platform/service_manager.h"
#include "platform/signal_source.h"
#include "platform/system_log.h"
#include "runtime/cli.h"
#include "util/process_info.h"
#include "util/retired_threads.h"

int main(int argc, char** argv) {
  // exit() does not stop the agent's threads, and OpenSSL's own exit handler would free
  // its global state and thread keys under any of them still using TLS (a retiring
  // queue, a reader that dropped the last reference). The process's end frees it all.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  vela::platform::tuneHeap();
  vela::platform::ignoreBrokenPipes();
  // Standard error already read by the journal would put every line there twice.
  if (vela::platform::ServiceManager::standardErrorIsJournal()) {
    vela::Log::prefixStandardErrorWithPriority(true);
  } else {
    vela::Log::copyToSystemLog(vela::platform::writeSystemLog);
  }
  vela::ProcessInfo::setProgramPath(argc > 0 ? argv[0] : "");
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  int status = vela::CLI::main(std::move(arguments));
  vela::WebSocketIO::quiesceShared();
  vela::RetiredThreads::joinAll();
  return status;
}
