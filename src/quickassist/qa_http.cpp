#include "quickassist/qa_http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <memory>

#include "util/agent_version.h"
#include "util/url.h"

namespace vela::QAHttp {
namespace {

constexpr long kTimeoutMs = 60'000;

struct Reply {
  std::string body;
  bool overflow = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* reply = static_cast<Reply*>(user);
  std::size_t bytes = size * count;
  if (reply->body.size() + bytes > kMaxReplyBytes) {
    reply->overflow = true;
    return 0;
  }
  reply->body.append(data, bytes);
  return bytes;
}

CURLcode systemTrust(CURL*, void* context, void*) {
  // The default paths honour SSL_CERT_FILE / SSL_CERT_DIR; curl's own bundle is off.
  return SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(context)) == 1 ? CURLE_OK
                                                                                : CURLE_SSL_CACERT_BADFILE;
}

struct CurlFree {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct ListFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

bool isHTTPS(const std::string& url) {
  auto parsed = URL::parse(url);
  return parsed && parsed->scheme == "https";
}

Result<Response> perform(const std::string& url, const Headers& headers,
                         const std::function<void(CURL*)>& configure) {
  std::unique_ptr<CURL, CurlFree> handle(curl_easy_init());
  if (!handle) return fail("cannot create an HTTP session");
  CURL* h = handle.get();
  std::unique_ptr<curl_slist, ListFree> list;
  for (const auto& [name, value] : headers) {
    curl_slist* next = curl_slist_append(list.get(), (name + ": " + value).c_str());
    if (!next) return fail("cannot build the request headers");
    (void)list.release();
    list.reset(next);
  }
  Reply reply;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  std::string agent = "vela-agent/" + std::string(AgentVersion::current) + " (Linux)";
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, systemTrust);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kTimeoutMs);
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  configure(h);
  CURLcode code = curl_easy_perform(h);
  if (reply.overflow) return fail("reply larger than " + std::to_string(kMaxReplyBytes) + " bytes");
  if (code != CURLE_OK) return fail(*errorBuffer ? std::string(errorBuffer) : curl_easy_strerror(code));
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) return fail("no response");
  return Response{status, std::move(reply.body)};
}

}  // namespace

Result<Response> postJSON(const std::string& url, const std::string& body, const Headers& headers) {
  if (!isHTTPS(url)) return fail("refusing non-https " + url);
  Headers all = headers;
  all["Content-Type"] = "application/json";
  all["Accept"] = "application/json";
  return perform(url, all, [&body](CURL* h) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  });
}

Result<Response> putFile(const std::string& url, const std::string& path, const Headers& headers) {
  if (!isHTTPS(url)) return fail("refusing non-https " + url);
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
  if (!file) return fail("cannot read " + path);
  std::fseek(file.get(), 0, SEEK_END);
  long size = std::ftell(file.get());
  std::fseek(file.get(), 0, SEEK_SET);
  if (size < 0) return fail("cannot read " + path);
  Headers all = headers;
  return perform(url, all, [&](CURL* h) {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READDATA, file.get());
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  });
}

}  // namespace vela::QAHttp
