#include "wire/proxy/proxy.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::proxy {
namespace {

TEST(ProxyUrl, SchemesAndUri) {
  EXPECT_EQ(parse_proxy_url("http://p.example:3128/path?q")->uri, "http://p.example:3128/");
  EXPECT_EQ(parse_proxy_url("https://p")->uri, "https://p/");
  EXPECT_EQ(parse_proxy_url("socks5h://[::1]:1080")->uri, "socks5h://[::1]:1080/");
  for (const char* scheme : {"socks4", "socks4a", "socks5", "socks5h"}) {
    EXPECT_TRUE(parse_proxy_url(std::string(scheme) + "://h:1")) << scheme;
  }
  // Schemes are matched without regard to case and written in lower case.
  EXPECT_EQ(parse_proxy_url("HTTP://p:3128")->uri, "http://p:3128/");
  EXPECT_EQ(parse_proxy_url("Socks5H://u:pw@p")->uri, "socks5h://p/");
  EXPECT_EQ(parse_proxy_url("hTtPs://p")->uri, "https://p/");
  // "*" names every host in a no-proxy list, never a proxy.
  for (const char* bad : {"ftp://h:1", "FTP://h:1", "socks://h", "http://", "*", "http://*",
                          "*:3128", "http://h:99999", "http://a b", "", "http:/h", "mailto:x"}) {
    EXPECT_FALSE(parse_proxy_url(bad)) << bad;
  }
}

TEST(ProxyUrl, NoSchemeIsHttp) {
  EXPECT_EQ(parse_proxy_url("p.example:8080")->uri, "http://p.example:8080/");
  EXPECT_EQ(parse_proxy_url("p.example")->uri, "http://p.example/");
  const auto with_user = parse_proxy_url("u:pw@p:8080/x");
  ASSERT_TRUE(with_user);
  EXPECT_EQ(with_user->uri, "http://p:8080/");
  EXPECT_EQ(with_user->auth, AuthKind::kBasic);
  EXPECT_EQ(with_user->basic, "Basic dTpwdw==");
}

TEST(ProxyUrl, PortIsWrittenInDecimal) {
  EXPECT_EQ(parse_proxy_url("http://h:0080")->uri, "http://h:80/");
  EXPECT_EQ(parse_proxy_url("http://h:/")->uri, "http://h/");
}

TEST(ProxyUrl, Credentials) {
  const auto basic = parse_proxy_url("http://a%20b:p%3Aw@h:1");
  EXPECT_EQ(basic->auth, AuthKind::kBasic);
  EXPECT_EQ(basic->basic, "Basic YSBiOnA6dw==");  // "a b:p:w"
  EXPECT_EQ(basic->uri, "http://h:1/");
  EXPECT_EQ(parse_proxy_url("http://user@h")->basic, "Basic dXNlcjo=");  // "user:"
  EXPECT_EQ(parse_proxy_url("http://@h")->basic, "Basic Og==");          // ":"
  EXPECT_EQ(parse_proxy_url("http://h")->auth, AuthKind::kNone);

  const auto raw = parse_proxy_url("socks5://us%65r:a:b@h:1080");
  EXPECT_EQ(raw->auth, AuthKind::kRaw);
  EXPECT_EQ(raw->user, "user");
  EXPECT_EQ(raw->password, "a:b");
  EXPECT_TRUE(raw->basic.empty());
  const auto raw_no_password = parse_proxy_url("socks4a://u@h");
  EXPECT_EQ(raw_no_password->user, "u");
  EXPECT_EQ(raw_no_password->password, "");
}

TEST(UserinfoDecoding, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(decode_userinfo_part("caf%C3%A9"), "caf\xC3\xA9");
  EXPECT_EQ(decode_userinfo_part("%F0%9F%98%80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(decode_userinfo_part("%FF"), "\xEF\xBF\xBD");
  // a truncated sequence is one replacement; the byte that broke it is read again
  EXPECT_EQ(decode_userinfo_part("%E2%82x"), "\xEF\xBF\xBDx");
  // overlong form, surrogate and above U+10FFFF: every byte is its own subpart
  EXPECT_EQ(decode_userinfo_part("%C0%AF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_userinfo_part("%ED%A0%80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_userinfo_part("%F4%90%80%80"),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_userinfo_part("%f0%9f%98"), "\xEF\xBF\xBD");
}

TEST(IpParsing, Addresses) {
  const auto v4 = parse_ip_address("192.168.0.255");
  ASSERT_TRUE(v4);
  EXPECT_FALSE(v4->v6);
  EXPECT_EQ(v4->bytes[0], 192);
  EXPECT_EQ(v4->bytes[3], 255);

  const auto v6 = parse_ip_address("2001:db8::ff00:42:8329");
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->v6);
  const uint8_t expected[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0,    0,    0,
                                0,    0,    0xff, 0,    0, 0x42, 0x83, 0x29};
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(v6->bytes[i], expected[i]) << i;

  const auto mapped = parse_ip_address("::ffff:10.1.2.3");
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->bytes[10], 0xff);
  EXPECT_EQ(mapped->bytes[12], 10);
  EXPECT_EQ(mapped->bytes[15], 3);
  const auto full = parse_ip_address("1:2:3:4:5:6:7:8");
  EXPECT_EQ(full->bytes[1], 1);
  EXPECT_EQ(full->bytes[15], 8);
  const auto trailing = parse_ip_address("1::");
  EXPECT_EQ(trailing->bytes[1], 1);
  EXPECT_EQ(trailing->bytes[15], 0);

  for (const char* bad : {"", "1.2.3", "1.2.3.256", "01.2.3.4", "1:2", "::1::", "[::1]",
                          "example.com", "1.2.3.4.5", "12345::"}) {
    EXPECT_FALSE(parse_ip_address(bad)) << bad;
  }
}

TEST(IpParsing, NetworksAndContainment) {
  const auto net8 = parse_ip_network("10.1.2.3/8");  // host bits are cleared
  ASSERT_TRUE(net8);
  EXPECT_EQ(net8->prefix, 8);
  EXPECT_TRUE(net8->contains(*parse_ip_address("10.255.0.1")));
  EXPECT_FALSE(net8->contains(*parse_ip_address("11.0.0.0")));
  EXPECT_FALSE(net8->contains(*parse_ip_address("::ffff:10.0.0.1")));

  const auto net12 = parse_ip_network("172.16.0.0/12");
  EXPECT_TRUE(net12->contains(*parse_ip_address("172.31.255.255")));
  EXPECT_FALSE(net12->contains(*parse_ip_address("172.32.0.0")));

  EXPECT_TRUE(parse_ip_network("0.0.0.0/0")->contains(*parse_ip_address("255.1.2.3")));
  EXPECT_FALSE(parse_ip_network("0.0.0.0/0")->contains(*parse_ip_address("::1")));
  EXPECT_EQ(parse_ip_network("1.2.3.4")->prefix, 32);
  EXPECT_FALSE(parse_ip_network("1.2.3.4/32")->contains(*parse_ip_address("1.2.3.5")));

  const auto v6net = parse_ip_network("fd00::/7");
  EXPECT_TRUE(v6net->contains(*parse_ip_address("fc12::1")));
  EXPECT_FALSE(v6net->contains(*parse_ip_address("fe00::1")));
  EXPECT_TRUE(parse_ip_network("::/0")->contains(*parse_ip_address("2001:db8::1")));
  EXPECT_EQ(parse_ip_network("::1")->prefix, 128);

  for (const char* bad : {"1.2.3.4/33", "::/129", "1.2.3.4/", "1.2.3.4/-1", "1.2.3.4/0x8",
                          "1.2.3.4/0008", "/8", "a.b/8"}) {
    EXPECT_FALSE(parse_ip_network(bad)) << bad;
  }
}

TEST(DomainPatterns, TheFiveRules) {
  EXPECT_TRUE(domain_pattern_matches("example.com", "example.com"));
  EXPECT_TRUE(domain_pattern_matches("example.com", "www.EXAMPLE.com"));
  EXPECT_FALSE(domain_pattern_matches("example.com", "badexample.com"));
  EXPECT_FALSE(domain_pattern_matches("example.com", "example.com.evil"));
  EXPECT_TRUE(domain_pattern_matches(".Example.com", "example.COM"));
  EXPECT_TRUE(domain_pattern_matches(".example.com", "a.b.example.com"));
  EXPECT_FALSE(domain_pattern_matches(".example.com", "badexample.com"));
  EXPECT_TRUE(domain_pattern_matches("*", "anything"));
  EXPECT_FALSE(domain_pattern_matches("com", "com.example"));
  EXPECT_FALSE(domain_pattern_matches("a.com", ".com"));
}

TEST(NoProxyList, SplitsTrimsAndSorts) {
  const NoProxyList list = NoProxyList::parse(" localhost ,\t10.0.0.0/8,, ::1 ,.corp , ");
  EXPECT_EQ(list.ips().size(), 2u);
  ASSERT_EQ(list.domains().size(), 2u);
  EXPECT_EQ(list.domains()[0], "localhost");
  EXPECT_EQ(list.domains()[1], ".corp");
  EXPECT_TRUE(list.covers("localhost"));
  EXPECT_TRUE(list.covers("10.9.9.9"));
  EXPECT_TRUE(list.covers("[::1]"));
  EXPECT_TRUE(list.covers("git.corp"));
  EXPECT_FALSE(list.covers("11.0.0.1"));
  EXPECT_FALSE(list.covers("[::2]"));
  EXPECT_TRUE(NoProxyList::parse("").empty());
  EXPECT_TRUE(NoProxyList::parse(" , ,").empty());
}

TEST(NoProxyList, IpLiteralsSkipTheDomainList) {
  // "10.0.0.1" as a domain pattern is a domain pattern only when it is not an address; an
  // address destination never consults the domain patterns.
  const NoProxyList list = NoProxyList::parse("0.0.1,1");
  EXPECT_FALSE(list.covers("10.0.0.1"));
  EXPECT_TRUE(list.covers("x.0.0.1"));
}

TEST(NoProxyList, StarCoversIpLiteralsToo) {
  const NoProxyList list = NoProxyList::parse("example.org, *");
  EXPECT_TRUE(list.covers("10.0.0.1"));
  EXPECT_TRUE(list.covers("[2001:db8::1]"));
  EXPECT_TRUE(list.covers("anything.example"));
}

TEST(Matcher, RoutesBySchemeWithFallbackToAll) {
  const ProxyMatcher m = ProxyMatcher::build({.all = "socks5://s:1", .https = "http://h:2"});
  EXPECT_EQ(m.route("http://x/"), Route::kHttp);
  EXPECT_EQ(m.http()->uri, "socks5://s:1/");
  EXPECT_EQ(m.route("HTTPS://x/"), Route::kHttps);
  EXPECT_EQ(m.https()->uri, "http://h:2/");
  for (const char* direct :
       {"ws://x/", "wss://x/", "ftp://x/", "/path", "x:80", "*", "", "http://a b/", "http:///"}) {
    EXPECT_EQ(m.route(direct), Route::kDirect) << direct;
  }
}

TEST(Matcher, EmptyOrUnusableStringsAreUnset) {
  const ProxyMatcher m = ProxyMatcher::build({.all = "http://a:1", .http = "", .https = "ftp://x"});
  EXPECT_EQ(m.http()->uri, "http://a:1/");
  EXPECT_EQ(m.https()->uri, "http://a:1/");
  const ProxyMatcher none = ProxyMatcher::build({.http = "http://p:1"});
  EXPECT_EQ(none.route("https://x/"), Route::kDirect);
}

TEST(Matcher, NoProxyBypasses) {
  const ProxyMatcher m = ProxyMatcher::build({.all = "p:1", .no = "example.com,192.168.0.0/16"});
  EXPECT_EQ(m.route("http://api.example.com/"), Route::kDirect);
  EXPECT_EQ(m.route("https://192.168.4.4:8443/"), Route::kDirect);
  EXPECT_EQ(m.route("https://192.169.0.1/"), Route::kHttps);
  EXPECT_EQ(m.route("http://notexample.com/"), Route::kHttp);
}

}  // namespace
}  // namespace quillet::proxy
