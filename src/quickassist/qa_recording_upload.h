#pragma once

// Hands one finished quick-assist recording to the upload URL the control plane
// presigns for its session. Until that URL has taken it, the local file is the only
// copy: it is removed after a 2xx reply to the PUT and after nothing else. Blocks the
// calling thread for the two requests; holds no state, so any thread may call it.

#include <cstdint>
#include <string>

#include "util/agent_error.h"

namespace vela::QARecordingUpload {

struct Recording {
  std::string path;
  std::string format;  // as the presign request names it, e.g. "fmp4"
  std::int64_t bytes = 0;
};

struct Session {
  std::string presignURL;
  std::string sessionID;
  std::string clientToken;
};

// Logs the outcome. A failure's text says why and ends with where the recording stays.
Result<void> upload(const Session& session, const Recording& recording);

}  // namespace vela::QARecordingUpload
