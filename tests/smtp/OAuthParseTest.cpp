// The pure parts of OAuth 2.0: the SASL responses, the servers' JSON answers
// and errors, and the splitting of a token command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtp/OAuthResponses.h"
#include "smtp/OAuthSasl.h"
#include "smtp/TokenCommand.h"

namespace km7::oauth {
namespace {

TEST(OAuthSaslTest, ResponsesHaveTheDocumentedLayout) {
  // The example of RFC 7628 section 4.1.
  EXPECT_EQ(OAuthBearerResponse("user@example.com", "server.example.com", 143, "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
            "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
            "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
  EXPECT_EQ(XOAuth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg"),
            "user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg\x01\x01");
  // "," and "=" would end the authorisation identity early.
  EXPECT_EQ(OAuthBearerResponse("a,b=c", "h", 25, "t").substr(0, 14), "n,a=a=2Cb=3Dc,");
}

TEST(OAuthSaslTest, BearerErrorsAreDecodedOrShownRaw) {
  BearerError e = ParseBearerError(R"({"status":"invalid_token","scope":"example_scope",)"
                                   R"("openid-configuration":"https://example.com/.well-known/openid-configuration"})");
  EXPECT_TRUE(e.parsed);
  EXPECT_EQ(e.status, "invalid_token");
  EXPECT_EQ(e.openidConfiguration, "https://example.com/.well-known/openid-configuration");
  EXPECT_EQ(DescribeBearerError(e), "invalid_token (scope \"example_scope\")");
  // XOAUTH2 servers give the status as a number.
  EXPECT_EQ(DescribeBearerError(ParseBearerError(R"({"status":"401","schemes":"bearer"})")), "401");
  EXPECT_EQ(DescribeBearerError(ParseBearerError(R"({"status":401})")), "401");
  for (const char* raw : {"not json", "[1,2]", "{\"status\":", ""}) {
    const BearerError bad = ParseBearerError(raw);
    EXPECT_FALSE(bad.parsed) << raw;
    EXPECT_EQ(DescribeBearerError(bad), *raw ? std::string(raw) : "(no details)");
  }
}

TEST(OAuthResponsesTest, TokenAnswers) {
  TokenResponse ok = ParseTokenResponse(
      R"({"access_token":"at","token_type":"Bearer","expires_in":3599,"refresh_token":"rt","scope":"s"})");
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ok.accessToken, "at");
  EXPECT_EQ(ok.refreshToken, "rt");
  EXPECT_EQ(ok.expiresIn, 3599);
  // Some servers give the lifetime as a string; none at all is -1.
  EXPECT_EQ(ParseTokenResponse(R"({"access_token":"at","expires_in":"60"})").expiresIn, 60);
  EXPECT_EQ(ParseTokenResponse(R"({"access_token":"at"})").expiresIn, -1);
  EXPECT_EQ(ParseTokenResponse(R"({"access_token":"at","expires_in":-5})").expiresIn, -1);

  const TokenResponse grant = ParseTokenResponse(R"({"error":"invalid_grant","error_description":"revoked"})");
  EXPECT_FALSE(grant.ok);
  EXPECT_EQ(grant.error, "invalid_grant");
  EXPECT_EQ(DescribeError(grant.error, grant.errorDescription), "invalid_grant: revoked");
  for (const char* bad : {"<html>502</html>", "{}", R"({"access_token":7})", "null", ""}) {
    const TokenResponse r = ParseTokenResponse(bad);
    EXPECT_FALSE(r.ok) << bad;
    EXPECT_EQ(r.error, "invalid_response") << bad;
  }
  // Control characters from the server never reach a terminal.
  EXPECT_EQ(DescribeError("x", "a\x1b[2Jb"), "x: a?[2Jb");
}

TEST(OAuthResponsesTest, DeviceAuthorizationAnswers) {
  DeviceAuthorization d = ParseDeviceAuthorization(
      R"({"device_code":"dc","user_code":"WDJB-MJHT","verification_uri":"https://example.com/device",)"
      R"("verification_uri_complete":"https://example.com/device?user_code=WDJB-MJHT","expires_in":1800,"interval":5})");
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.userCode, "WDJB-MJHT");
  EXPECT_EQ(d.expiresIn, 1800);
  EXPECT_EQ(d.interval, 5);
  // The older name of the address; no interval means five seconds.
  d = ParseDeviceAuthorization(R"({"device_code":"dc","user_code":"u","verification_url":"https://g.example/d"})");
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.verificationUri, "https://g.example/d");
  EXPECT_EQ(d.interval, 5);
  EXPECT_EQ(ParseDeviceAuthorization(R"({"device_code":"dc","user_code":"u","verification_uri":"v","interval":0})").interval, 1);
  EXPECT_FALSE(ParseDeviceAuthorization(R"({"device_code":"dc"})").ok);
  EXPECT_EQ(ParseDeviceAuthorization(R"({"error":"invalid_client"})").error, "invalid_client");
}

TEST(TokenCommandTest, CommandLinesSplitWithoutAShell) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"oauth-helper --account alice", {"oauth-helper", "--account", "alice"}},
      {"  a\t b  ", {"a", "b"}},
      {"pass show 'mail/my account'", {"pass", "show", "mail/my account"}},
      {R"(say "a \"quoted\" word" $HOME)", {"say", "a \"quoted\" word", "$HOME"}},
      {R"(a\ b 'it''s' "")", {"a b", "its", ""}},
      {"printf '%s\\n' x", {"printf", "%s\\n", "x"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitCommandLine(c.line, words, error)) << c.line << ": " << error;
    EXPECT_EQ(words, c.words) << c.line;
  }
  for (const char* bad : {"", "   ", "a 'unfinished", "b \"unfinished"}) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_FALSE(SplitCommandLine(bad, words, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
}  // namespace km7::oauth
