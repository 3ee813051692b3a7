#include "config/filename_provisioning.h"

#include <gtest/gtest.h>

#include "util/base64.h"

namespace vela {
namespace {

namespace FP = FilenameProvisioning;

std::string blobPiece(std::string_view json) { return Base64::encodeURL(toBytes(json)); }

TEST(FilenameProvisioningTest, ServerNormalisation) {
  EXPECT_EQ(FP::normalizeServer(" \n\t"), std::nullopt);
  EXPECT_EQ(FP::normalizeServer("controlplane/"), "https://controlplane");
  EXPECT_EQ(FP::normalizeServer("  HTTPS://cp.example/api///\n"), "HTTPS://cp.example/api");
  for (const char* refused : {"http://controlplane", "HTTP://cp", "wss://cp", "://cp"}) {
    EXPECT_EQ(FP::normalizeServer(std::string(refused)), std::nullopt) << refused;
  }
}

TEST(FilenameProvisioningTest, ExtensionsAreStrippedAtMostTwice) {
  EXPECT_EQ(FP::stripExtensions("X.pkg.PKG.pkg"), "X.pkg");
  EXPECT_EQ(FP::stripExtensions("X.a.pkg"), "X.a");
}

TEST(FilenameProvisioningTest, ReadableNames) {
  EXPECT_EQ(FP::parse("/Volumes/x/VelaAgent__tenant-ACME__customer-1234.pkg"),
            (ProvisioningInfo{"ACME", "1234", {}, {}, {}, "filename"}));
  EXPECT_EQ(FP::parse("VelaAgent_tenant=ACME_cust=77.pkg"),
            (ProvisioningInfo{"ACME", "77", {}, {}, {}, "filename"}));
  EXPECT_EQ(FP::parse("VelaAgent__SRV-controlplane.pkg").serverBaseURL, "https://controlplane");

  // Only the first separator of a segment splits it; dashes inside values survive.
  EXPECT_EQ(FP::parse("VelaAgent__Token-abc-def-123__Chan-beta__siteid-s-1.bin"),
            (ProvisioningInfo{{}, "s-1", {}, "abc-def-123", "beta", "filename"}));
  // "=" and ":" are tried before "-": these keys become unknown words.
  EXPECT_TRUE(FP::parse("VelaAgent__tenant-x=y__url-http:x").isEmpty());
  // A later refused server replaces an earlier good one with nothing.
  EXPECT_EQ(FP::parseReadable("V__server=https://ok__server=http://cp").serverBaseURL, std::nullopt);
}

TEST(FilenameProvisioningTest, GarbageNamesYieldEmptyRecords) {
  for (std::string name : {std::string(), std::string("/"), std::string("VelaAgent.pkg"), std::string("-=:"),
                           std::string("\xff\xfe\x00__x-\x01", 8), std::string(5000, '_'),
                           "VelaAgent." + blobPiece("{}") + "." + blobPiece("{\"t\":")}) {
    EXPECT_EQ(FP::parse(name), ProvisioningInfo{}) << name;
  }
}

TEST(FilenameProvisioningTest, BlobNames) {
  std::string piece = blobPiece(R"({"t":"ACME","c":"1234","s":"cp.example/","k":"T-1","ch":"beta"})");
  ProvisioningInfo info = FP::parse("/tmp/VelaAgent." + piece + ".pkg");
  EXPECT_EQ(info, (ProvisioningInfo{"ACME", "1234", "https://cp.example", "T-1", "beta", "filename-blob"}));

  // A short key that is not a string falls back to the long key; a refused server is
  // absent while the rest still counts.
  info = FP::parse("VelaAgent." + blobPiece(R"({"t":5,"tenant":"ACME","s":"http://cp"})"));
  EXPECT_EQ(info, (ProvisioningInfo{"ACME", {}, {}, {}, {}, "filename-blob"}));

  // The blob wins over readable segments in the same name.
  EXPECT_EQ(FP::parse("VelaAgent__tenant-R__" + blobPiece(R"({"t":"BLOB"})") + ".pkg").tenantID, "BLOB");

  // An array, a scalar, an object without settings or broken JSON leave it to the
  // readable convention.
  for (std::string json : {R"(["t","ACME","x"])", R"("just a string")", R"({"x":"ACME"})", R"({"t":"ACME")"}) {
    EXPECT_EQ(FP::parse("VelaAgent__tenant-R__" + blobPiece(json)), (ProvisioningInfo{"R", {}, {}, {}, {}, "filename"}))
        << json;
  }
}

TEST(FilenameProvisioningTest, ShortOrCutBlobPiecesAreNeverDecoded) {
  std::string twelve = blobPiece(R"({"t":"A"})");
  ASSERT_EQ(twelve.size(), 12u);
  EXPECT_EQ(FP::parse("VelaAgent." + twelve).tenantID, "A");
  EXPECT_TRUE(FP::parse("VelaAgent." + twelve.substr(0, 11)).isEmpty());
  EXPECT_TRUE(FP::parse(FP::encodeBlobFilename("VelaAgent", "pkg", {}, {}, {}, {}, {})).isEmpty());

  std::string piece = blobPiece(R"({"t":"ACME-LONG-TENANT","c":"blob"})");
  std::string cut = piece.substr(0, 16) + "__" + piece.substr(16);
  ProvisioningInfo info = FP::parse("VelaAgent." + cut + "__customer-77.pkg");
  EXPECT_EQ(info, (ProvisioningInfo{{}, "77", {}, {}, {}, "filename"}));
}

TEST(FilenameProvisioningTest, NameBuilders) {
  std::string name = FP::encodeBlobFilename("VelaAgent", "pkg", "ACME", "1234", "https://cp.example", "tok/+=", "beta");
  const std::string json = R"({"c":"1234","ch":"beta","k":"tok/+=","s":"https://cp.example","t":"ACME"})";
  EXPECT_EQ(name, "VelaAgent." + blobPiece(json) + ".pkg");

  EXPECT_EQ(FP::encodeReadableFilename("VelaAgent", "pkg", "ACME", "1234", "https://cp.example:8443/x", "beta"),
            "VelaAgent__tenant-ACME__customer-1234__server-cp.example__channel-beta.pkg");
  // Normalized once: "https://" leaves no host, not a host named "https".
  EXPECT_EQ(FP::encodeReadableFilename("P", "pkg", {}, {}, FP::normalizeServer("https://"), {}), "P.pkg");
}

TEST(FilenameProvisioningTest, Environment) {
  FP::Environment env = {{"VELA_TENANT_ID", "second"}, {"VELA_TENANT", "first"}, {"VELA_CUSTOMER_ID", "c2"},
                         {"VELA_SERVER", "http://cp"}, {"VELA_SERVER_URL", "cp2"}, {"VELA_TOKEN", ""},
                         {"VELA_ENROLL_TOKEN", "t2"}};
  // The first variable that is set decides, even when it is refused or empty.
  EXPECT_EQ(FP::fromEnvironment(env), (ProvisioningInfo{"first", "c2", {}, "", {}, "env"}));
  std::string binary("\x00\xff\x1b[2J", 6);
  EXPECT_EQ(FP::fromEnvironment({{"VELA_CHANNEL", binary}}).channel, binary);
}

}  // namespace
}  // namespace vela
