#include "metrics/ListenAddress.h"

#include <gtest/gtest.h>

namespace km7::metrics {
namespace {

TEST(ListenAddressTest, AcceptsIpv4AndBracketedIpv6) {
  struct Case {
    const char* text;
    const char* host;
    bool ipv6;
    int port;
  } cases[] = {
      {"127.0.0.1:9077", "127.0.0.1", false, 9077},
      {"0.0.0.0:80", "0.0.0.0", false, 80},
      {"[::1]:9077", "::1", true, 9077},
      {"[::]:65535", "::", true, 65535},
      {"[fe80::1:2]:1", "fe80::1:2", true, 1},
      {"127.0.0.1:0", "127.0.0.1", false, 0},
  };
  for (const auto& c : cases) {
    std::string error;
    auto a = ParseListenAddress(c.text, error);
    ASSERT_TRUE(a) << c.text << ": " << error;
    EXPECT_EQ(a->host, c.host);
    EXPECT_EQ(a->ipv6, c.ipv6);
    EXPECT_EQ(a->port, c.port);
    EXPECT_EQ(a->ToString(), c.text);
  }
}

TEST(ListenAddressTest, RefusesAnythingElseWithAReason) {
  struct Case {
    const char* text;
    const char* reason;
  } cases[] = {
      {"", "HOST:PORT"},
      {"9077", "HOST:PORT"},
      {":9077", "address is missing"},
      {"127.0.0.1", "HOST:PORT"},
      {"127.0.0.1:", "port is missing"},
      {"127.0.0.1:65536", "0 to 65535"},
      {"127.0.0.1:-1", "0 to 65535"},
      {"127.0.0.1:90x", "0 to 65535"},
      {"127.0.0.1: 90", "0 to 65535"},
      {"127.0.0.1:99999999999999999999", "0 to 65535"},
      {"localhost:9077", "not an IPv4 address"},
      {"256.1.1.1:9077", "not an IPv4 address"},
      {"::1:9077", "in brackets"},
      {"[::1]9077", "expected :PORT"},
      {"[::1]", "expected :PORT"},
      {"[::1:9077", "missing ']'"},
      {"[127.0.0.1]:9077", "not an IPv6 address"},
      {"[fe80::1%eth0]:9077", "not an IPv6 address"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseListenAddress(c.text, error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
    EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
  }
}

TEST(ListenAddressTest, DefaultIsLoopbackOutsideTheExporterRange) {
  std::string error;
  auto a = ParseListenAddress(kDefaultMetricsListen, error);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->host, "127.0.0.1");
  EXPECT_EQ(a->port, kDefaultMetricsPort);
  EXPECT_TRUE(a->port < 9100 || a->port > 9999);
}

}  // namespace
}  // namespace km7::metrics
