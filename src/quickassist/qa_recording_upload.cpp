#include "quickassist/qa_recording_upload.h"

#include <filesystem>

#include "quickassist/qa_http.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"
#include "util/json_value.h"
#include "util/log.h"
#include "util/url.h"

namespace vela::QARecordingUpload {
namespace {

// Where the recording is to go: the upload URL and the headers it asks for.
struct Target {
  std::string url;
  QAHttp::Headers headers;
};

Result<Target> presign(const Session& session, const Recording& recording) {
  std::string body = CanonicalJSON::encode(
      JSONValue{{"session_id", session.sessionID}, {"format", recording.format}});
  auto reply = QAHttp::postJSON(session.presignURL, body,
                                {{"Authorization", "Bearer " + session.clientToken}});
  if (!reply) return fail("presign failed: " + reply.error().message);
  if (reply->status != 200) return fail("presign failed: HTTP " + std::to_string(reply->status));
  auto document = JSONScanner::parse(reply->body);
  const std::string* url =
      document && document->isObject() ? document->stringAt("upload_url") : nullptr;
  if (!url || !URL::parse(*url)) return fail("presign failed: the reply names no upload URL");
  Target target{*url, {}};
  if (const JSONValue* headers = (*document)["headers"]; headers && headers->isObject()) {
    for (const auto& [name, value] : *headers->objectValue()) {
      if (!value.stringRef()) continue;
      // These reach the request's header lines, so they are held to what a header may be.
      if (auto checked = QAHttp::checkHeader(name, *value.stringRef()); !checked)
        return fail("presign failed: " + checked.error().message);
      target.headers[name] = *value.stringRef();
    }
  }
  return target;
}

Result<void> send(const Session& session, const Recording& recording) {
  Target target = VELA_TRY(presign(session, recording));
  auto reply = QAHttp::putFile(target.url, recording.path, target.headers);
  if (!reply) return fail("recording upload failed: " + reply.error().message);
  // Anything but a 2xx (a redirect included: none is followed) means the copy did not land.
  if (reply->status < 200 || reply->status > 299)
    return fail("recording upload failed: HTTP " + std::to_string(reply->status));
  return {};
}

}  // namespace

Result<void> upload(const Session& session, const Recording& recording) {
  if (auto sent = send(session, recording); !sent) {
    std::string text = sent.error().message + "; the recording stays at " + recording.path;
    Log::warn("quick-assist " + text);
    return fail(text);
  }
  Log::info("quick-assist recording uploaded (" + std::to_string(recording.bytes) + " bytes)");
  std::error_code error;
  if (!std::filesystem::remove(recording.path, error) && error)
    Log::warn("quick-assist: cannot remove the uploaded recording " + recording.path + ": " +
              error.message());
  return {};
}

}  // namespace vela::QARecordingUpload
