#include "config/filename_provisioning.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

namespace FP = FilenameProvisioning;

std::string blobPiece(std::string_view json) { return FP::base64URLEncode(toBytes(json)); }

TEST(FilenameProvisioningTest, ServerNormalisation) {
  EXPECT_EQ(FP::normalizeServer(std::nullopt), std::nullopt);
  EXPECT_EQ(FP::normalizeServer(" \n\t"), std::nullopt);
  EXPECT_EQ(FP::normalizeServer("controlplane/"), "https://controlplane");
  EXPECT_EQ(FP::normalizeServer("  https://cp.example/api///\n"), "https://cp.example/api");
  EXPECT_EQ(FP::normalizeServer("HTTPS://CP"), "HTTPS://CP");
  // Any explicit scheme but https is refused, however it is spelled.
  for (const char* refused : {"http://controlplane", "HTTP://cp", "ftp://cp", "wss://cp", "://cp"}) {
    EXPECT_EQ(FP::normalizeServer(std::string(refused)), std::nullopt) << refused;
  }
}

TEST(FilenameProvisioningTest, Base64URLRoundTripAndStrictness) {
  Bytes bytes = {0xfb, 0xff, 0xfe, 0x00, 0x3e};
  std::string text = FP::base64URLEncode(bytes);
  EXPECT_EQ(text, "-__-AD4");  // no padding, URL alphabet
  EXPECT_EQ(FP::base64URLDecode(text), bytes);
  EXPECT_EQ(FP::base64URLDecode("+//+AD4="), bytes);  // the standard alphabet is accepted too
  EXPECT_EQ(FP::base64URLDecode("abcde"), std::nullopt);  // 5 symbols cannot be padded
  EXPECT_EQ(FP::base64URLDecode("ab cd"), std::nullopt);
  EXPECT_EQ(FP::base64URLDecode("ab.d"), std::nullopt);
}

TEST(FilenameProvisioningTest, ExtensionStripping) {
  EXPECT_EQ(FP::stripExtensions("X.tar.gz"), "X");
  EXPECT_EQ(FP::stripExtensions("X.pkg.pkg"), "X");
  EXPECT_EQ(FP::stripExtensions("X.pkg.pkg.pkg"), "X.pkg");  // at most twice
  EXPECT_EQ(FP::stripExtensions("X.a.pkg"), "X.a");
  EXPECT_EQ(FP::stripExtensions("X.PKG"), "X");
  EXPECT_EQ(FP::stripExtensions("cp.example"), "cp.example");
  EXPECT_EQ(FP::lastPathComponent("/opt/dl/VelaAgent__tenant-A.pkg"), "VelaAgent__tenant-A.pkg");
  EXPECT_EQ(FP::lastPathComponent("dir/name/"), "name");
}

TEST(FilenameProvisioningTest, ReadableNames) {
  ProvisioningInfo info = FP::parse("/Volumes/x/VelaAgent__tenant-ACME__customer-1234.pkg");
  EXPECT_EQ(info.tenantID, "ACME");
  EXPECT_EQ(info.customerID, "1234");
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  EXPECT_EQ(info.source, "filename");

  info = FP::parse("VelaAgent_tenant=ACME_cust=77.pkg");
  EXPECT_EQ(info.tenantID, "ACME");
  EXPECT_EQ(info.customerID, "77");

  // The dot of a host name survives because only known extensions are stripped.
  EXPECT_EQ(FP::parse("VelaAgent__server-controlplane.pkg").serverBaseURL, "https://controlplane");
  EXPECT_EQ(FP::parse("VelaAgent__SRV-cp.example.com.pkg").serverBaseURL, "https://cp.example.com");

  // Only the first separator of a segment splits it; dashes inside values survive.
  info = FP::parse("VelaAgent__Token-abc-def-123__Chan-beta__siteid-s-1.bin");
  EXPECT_EQ(info.enrollmentToken, "abc-def-123");
  EXPECT_EQ(info.channel, "beta");
  EXPECT_EQ(info.customerID, "s-1");

  // "host:" has an empty value after ":" and no "-", so it is ignored.
  EXPECT_TRUE(FP::parse("VelaAgent__host:.pkg").isEmpty());
  // "=" is tried before "-": the key "tenant-x" is unknown.
  EXPECT_TRUE(FP::parse("VelaAgent__tenant-x=y").isEmpty());
  // A later segment for the same setting wins.
  EXPECT_EQ(FP::parse("VelaAgent__tid-A__tenant-B").tenantID, "B");
}

TEST(FilenameProvisioningTest, GarbageNamesYieldEmptyRecords) {
  for (std::string name : {std::string(), std::string("/"), std::string("VelaAgent.pkg"),
                           std::string("____"), std::string("-=:"), std::string(".pkg.gz"),
                           std::string("\xff\xfe\x00__tenant-\x01", 13), std::string(5000, '_'),
                           std::string("a.b.c.d.e.f.g.h.i.j.k.l.m.n")}) {
    ProvisioningInfo info = FP::parse(name);
    EXPECT_TRUE(info.isEmpty()) << name;
    EXPECT_EQ(info.source, "");
  }
  // ":" is tried before "-", so "url-http" becomes an unknown key instead of a server.
  ProvisioningInfo info = FP::parse("VelaAgent__tenant-A__url-http:x.pkg");
  EXPECT_EQ(info.tenantID, "A");
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  // A refused http server in a --from-name text is dropped, not rewritten to https.
  info = FP::parseReadable("VelaAgent__server=http://cp__server=https://ok");
  EXPECT_EQ(info.serverBaseURL, "https://ok");
  info = FP::parseReadable("VelaAgent__server=https://ok__server=http://cp");
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
}

TEST(FilenameProvisioningTest, BlobNames) {
  std::string piece = blobPiece(R"({"t":"ACME","c":"1234","s":"cp.example/","k":"T-1","ch":"beta"})");
  ProvisioningInfo info = FP::parse("/tmp/VelaAgent." + piece + ".pkg");
  EXPECT_EQ(info.tenantID, "ACME");
  EXPECT_EQ(info.customerID, "1234");
  EXPECT_EQ(info.serverBaseURL, "https://cp.example");
  EXPECT_EQ(info.enrollmentToken, "T-1");
  EXPECT_EQ(info.channel, "beta");
  EXPECT_EQ(info.source, "filename-blob");

  // A short key that is not a string falls back to the long key.
  info = FP::parse("VelaAgent." + blobPiece(R"({"t":5,"tenant":"ACME"})"));
  EXPECT_EQ(info.tenantID, "ACME");
  EXPECT_EQ(info.source, "filename-blob");

  // A refused server inside a blob is absent; the rest still counts.
  info = FP::parse("VelaAgent." + blobPiece(R"({"s":"http://cp","c":"9"})"));
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  EXPECT_EQ(info.customerID, "9");

  // The blob wins over readable segments in the same name.
  info = FP::parse("VelaAgent__tenant-READABLE__" + blobPiece(R"({"t":"BLOB"})") + ".pkg");
  EXPECT_EQ(info.tenantID, "BLOB");
  EXPECT_EQ(info.source, "filename-blob");
}

TEST(FilenameProvisioningTest, BlobCandidatesThatDoNotQualify) {
  // An array, a non-object scalar and an object without settings are all skipped, and
  // the readable convention takes over.
  for (std::string json : {R"(["t","ACME","x"])", R"("just a string")", R"({"x":"ACME","y":1})",
                           R"({"t":"ACME")"}) {
    ProvisioningInfo info = FP::parse("VelaAgent__tenant-R__" + blobPiece(json) + ".pkg");
    EXPECT_EQ(info.tenantID, "R") << json;
    EXPECT_EQ(info.source, "filename") << json;
  }
  // 11 characters are never decoded, even when they would decode to an object.
  std::string eleven = blobPiece(R"({"t":"A"})");
  ASSERT_EQ(eleven.size(), 12u);
  EXPECT_TRUE(FP::parse("VelaAgent." + eleven.substr(0, 11)).isEmpty());
  EXPECT_EQ(FP::parse("VelaAgent." + eleven).tenantID, "A");
  // The empty object encodes to 3 characters: an all-empty blob name parses as empty.
  EXPECT_TRUE(FP::parse(FP::encodeBlobFilename("VelaAgent", "pkg", {}, {}, {}, {}, {})).isEmpty());
}

TEST(FilenameProvisioningTest, BlobCutByDoubleUnderscoreFallsBackToReadable) {
  // Find a tenant whose encoding contains "__" so the piece is split apart.
  std::string name;
  for (int i = 0; i < 100000 && name.empty(); ++i) {
    std::string candidate = FP::encodeBlobFilename("VelaAgent", "", "tenant-" + std::to_string(i), {}, {},
                                                   {}, {});
    if (candidate.find("__") != std::string::npos) name = candidate;
  }
  ASSERT_FALSE(name.empty());
  ProvisioningInfo info = FP::parse(name + "__customer-77.pkg");
  EXPECT_EQ(info.source, "filename");
  EXPECT_EQ(info.customerID, "77");
}

TEST(FilenameProvisioningTest, BlobBuilderRoundTrips) {
  std::string name = FP::encodeBlobFilename("VelaAgent", "pkg", "ACME", "1234", "https://cp.example",
                                            "tok/+=", "beta");
  EXPECT_TRUE(name.starts_with("VelaAgent."));
  EXPECT_TRUE(name.ends_with(".pkg"));
  // Canonical JSON: keys sorted by bytes, compact.
  std::string piece = name.substr(10, name.size() - 14);
  auto decoded = FP::base64URLDecode(piece);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(toString(*decoded), R"({"c":"1234","ch":"beta","k":"tok/+=","s":"https://cp.example","t":"ACME"})");
  ProvisioningInfo info = FP::parse(name);
  EXPECT_EQ(info.enrollmentToken, "tok/+=");
  EXPECT_EQ(info.serverBaseURL, "https://cp.example");
  EXPECT_EQ(FP::encodeBlobFilename("P", "", "A", {}, {}, {}, {}), "P." + blobPiece(R"({"t":"A"})"));
}

TEST(FilenameProvisioningTest, ReadableBuilder) {
  EXPECT_EQ(FP::encodeReadableFilename("VelaAgent", "pkg", "ACME", "1234", "https://cp.example:8443/x", "beta"),
            "VelaAgent__tenant-ACME__customer-1234__server-cp.example__channel-beta.pkg");
  EXPECT_EQ(FP::encodeReadableFilename("P", "", {}, "c", {}, {}), "P__customer-c");
}

TEST(FilenameProvisioningTest, EnvironmentVariables) {
  FP::Environment env = {{"VELA_TENANT_ID", "second"}, {"VELA_TENANT", "first"},
                         {"VELA_CUSTOMER_ID", "c2"},   {"VELA_SERVER", "http://controlplane"},
                         {"VELA_SERVER_URL", "cp2"},   {"VELA_TOKEN", ""},
                         {"VELA_ENROLL_TOKEN", "t2"}};
  ProvisioningInfo info = FP::fromEnvironment(env);
  EXPECT_EQ(info.tenantID, "first");
  EXPECT_EQ(info.customerID, "c2");
  // The first variable that is set decides, even when it is refused or empty.
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  EXPECT_EQ(info.enrollmentToken, "");
  EXPECT_EQ(info.channel, std::nullopt);
  EXPECT_EQ(info.source, "env");

  EXPECT_EQ(FP::fromEnvironment({{"VELA_SERVER", "controlplane/"}}).serverBaseURL, "https://controlplane");
  EXPECT_EQ(FP::fromEnvironment({{"HOME", "/root"}}).source, "");
  // Binary values are carried as they are.
  std::string binary("\x00\xff\x1b[2J", 6);
  EXPECT_EQ(FP::fromEnvironment({{"VELA_CHANNEL", binary}}).channel, binary);
}

TEST(FilenameProvisioningTest, SelfInspectionFallsBackToArgv0) {
  // The test executable's own name carries nothing, so argv0 decides.
  ProvisioningInfo info = FP::parseSelf("/usr/local/bin/VelaAgent__tenant-ACME.pkg");
  EXPECT_EQ(info.tenantID, "ACME");
  EXPECT_EQ(info.source, "filename(VelaAgent__tenant-ACME.pkg)");
  EXPECT_TRUE(FP::parseSelf("/usr/local/bin/vela-agent").isEmpty());
  EXPECT_EQ(FP::parseSelf("/usr/local/bin/vela-agent").source, "");
}

TEST(ProvisioningInfoTest, OverlayAndSources) {
  ProvisioningInfo a;
  a.tenantID = "A";
  a.customerID = "CA";
  a.source = "defaults";
  ProvisioningInfo b;
  b.tenantID = "B";
  b.channel = "";
  b.source = "env";
  ProvisioningInfo c = a.overlaid(b);
  EXPECT_EQ(c.tenantID, "B");
  EXPECT_EQ(c.customerID, "CA");
  EXPECT_EQ(c.channel, "");  // an empty value is still a value
  EXPECT_EQ(c.source, "defaults+env");
  EXPECT_EQ(c.overlaid(ProvisioningInfo{}).source, "defaults+env");
  EXPECT_EQ(ProvisioningInfo{}.overlaid(b).source, "env");
  ProvisioningInfo onlySource;
  onlySource.source = "x";
  EXPECT_TRUE(onlySource.isEmpty());
}

}  // namespace
}  // namespace vela
