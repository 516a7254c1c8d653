#include "download/proxy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn {
namespace {

using std::chrono::milliseconds;
using Kind = ProxyRoute::Kind;

constexpr std::string_view ADDRESS = "https://dl.example.com/api/app/download?platform=win";

const ProxyRoute MACHINE_ROUTE{};
const ProxyRoute DIRECT_ROUTE{Kind::direct, {}, {}};

ProxyRoute proxy(std::string server, std::string bypass = {}) {
    return {Kind::named, std::move(server), std::move(bypass)};
}

ProxyRoutes routes(std::vector<ProxyRoute> in_order) {
    return {std::move(in_order), {}};
}

ProxyRoutes socks_only(std::string server) {
    return {{}, std::move(server)};
}

const ProxyRoutes MACHINE = routes({MACHINE_ROUTE});
const ProxyRoutes DIRECT = routes({DIRECT_ROUTE});

// One proxy and nothing to fall back on.
ProxyRoutes named(std::string server, std::string bypass = {}) {
    return routes({proxy(std::move(server), std::move(bypass))});
}

// The user's settings and what detection and the script answer, each after a scripted time.
// Every call is journalled with the limit it was given.
class FakeProxyPlatform final : public ProxyPlatform {
  public:
    std::optional<UserProxySettings> settings = UserProxySettings{};
    std::optional<DiscoveredProxy> detected;  // nullopt: detection fails
    std::optional<DiscoveredProxy> scripted;  // nullopt: the script fails
    milliseconds detection_takes{40};
    milliseconds script_takes{10};
    std::vector<std::string> journal;

    std::optional<UserProxySettings> user_settings() override { return settings; }

    std::optional<DiscoveredProxy> discover(std::string_view address, bool detect,
                                            std::string_view script_address,
                                            milliseconds limit) override {
        journal.push_back((detect ? "detect" : "script " + std::string(script_address)) + " for " +
                          std::string(address) + " within " + std::to_string(limit.count()));
        const milliseconds takes = detect ? detection_takes : script_takes;
        if (takes > limit) {
            clock_ += limit;
            return std::nullopt;
        }
        clock_ += takes;
        return detect ? detected : scripted;
    }

    milliseconds now() override { return clock_; }

  private:
    milliseconds clock_{123456};
};

UserProxySettings user(bool detect, std::string script, std::string proxy = {},
                       std::string bypass = {}) {
    return {detect, std::move(script), std::move(proxy), std::move(bypass)};
}

DiscoveredProxy answer(std::string proxy, std::string bypass = {}) {
    return {true, std::move(proxy), std::move(bypass)};
}

const DiscoveredProxy NO_PROXY_ANSWER{false, {}, {}};
const std::string PAC = "http://wpad.corp/proxy.pac";
const std::string LIMIT = std::to_string(PROXY_DISCOVERY_LIMIT.count());

milliseconds ms(long long count) {
    return milliseconds{count};
}

// std::nullopt, short enough for a table.
constexpr std::nullopt_t NONE = std::nullopt;

struct OrderCase {
    const char* what;
    std::optional<UserProxySettings> settings;
    std::optional<DiscoveredProxy> detected;
    std::optional<DiscoveredProxy> scripted;
    ProxyRoutes expected;
    std::vector<std::string> calls;  // "detect", "script": the discoveries asked for, in order
    milliseconds detection_takes{40};
    milliseconds script_takes{10};
};

const std::vector<OrderCase> ORDER_CASES = {
    // clang-format off
    {"settings unreadable: the machine's setting", NONE, NONE, NONE, MACHINE, {}},
    {"nothing set: the machine's setting", user(false, ""), NONE, NONE, MACHINE, {}},
    {"manual proxy", user(false, "", "proxy.corp:3128", "<local>"), NONE, NONE,
     named("proxy.corp:3128", "<local>"), {}},
    {"detection finds a proxy, ahead of the manual one", user(true, "", "manual:1"),
     answer("wpad-proxy:8080"), NONE, named("wpad-proxy:8080"), {"detect"}},
    {"detection says no proxy: direct, the manual one unused", user(true, "", "manual:1"),
     NO_PROXY_ANSWER, NONE, DIRECT, {"detect"}},
    {"detection fails, no script, no manual proxy: the machine's setting", user(true, ""), NONE,
     NONE, MACHINE, {"detect"}},
    {"detection fails: the manual proxy and its bypass list",
     user(true, "", "manual:3128", "<local>; *.corp"), NONE, NONE,
     named("manual:3128", "<local>;*.corp"), {"detect"}},
    {"detection fails: the script is asked next", user(true, PAC, "manual:1"), NONE,
     answer("pac-proxy:3128"), named("pac-proxy:3128"), {"detect", "script"}},
    {"detection answers nonsense: the script is asked next", user(true, PAC), answer("???"),
     answer("pac-proxy:3128"), named("pac-proxy:3128"), {"detect", "script"}},
    {"script: its proxy, then DIRECT", user(false, PAC, "manual:1"), NONE,
     answer("pac-proxy:3128; DIRECT"), routes({proxy("pac-proxy:3128"), DIRECT_ROUTE}),
     {"script"}},
    {"script: a proxy, a second one, then DIRECT, in that order",
     user(false, PAC, "manual:1"), NONE, answer("PROXY p1:8080; PROXY p2:8080; DIRECT"),
     routes({proxy("p1:8080"), proxy("p2:8080"), DIRECT_ROUTE}), {"script"}},
    {"script: SOCKS alone names it, the manual proxy unused", user(false, PAC, "manual:1"), NONE,
     answer("SOCKS socks.corp:1080"), socks_only("socks.corp:1080"), {"script"}},
    {"script: SOCKS, then a proxy", user(false, PAC, "manual:1"), NONE,
     answer("SOCKS5 socks.corp:1080; PROXY pac-proxy:3128"), named("pac-proxy:3128"), {"script"}},
    {"script: DIRECT first", user(false, PAC, "manual:1"), NONE, answer("DIRECT;pac-proxy:3128"),
     DIRECT, {"script"}},
    {"script: no proxy", user(false, PAC, "manual:1"), NONE, NO_PROXY_ANSWER, DIRECT, {"script"}},
    {"script fails (cannot be fetched, throws): the manual proxy", user(false, PAC, "manual:1"),
     NONE, NONE, named("manual:1"), {"script"}},
    {"script answers nonsense: the manual proxy", user(false, PAC, "manual:1"), NONE,
     answer("PROXY"), named("manual:1"), {"script"}},
    {"script answers an empty list: the manual proxy", user(false, PAC, "manual:1"), NONE,
     answer(" ; "), named("manual:1"), {"script"}},
    {"script fails, no manual proxy: the machine's setting", user(false, PAC), NONE, NONE, MACHINE,
     {"script"}},
    {"script past the limit: the manual proxy", user(false, PAC, "manual:1"), NONE,
     answer("pac-proxy:3128"), named("manual:1"), {"script"}, ms(40), ms(60000)},
    {"detection uses up the limit: the script is not asked", user(true, PAC, "manual:1"), NONE,
     answer("pac-proxy:3128"), named("manual:1"), {"detect"}, PROXY_DISCOVERY_LIMIT},
    {"detection leaves little: the script gets the rest and is cut", user(true, PAC, "manual:1"),
     NONE, answer("pac-proxy:3128"), named("manual:1"), {"detect", "script"},
     PROXY_DISCOVERY_LIMIT - ms(5)},
    {"manual proxy that cannot be read: the machine's setting", user(false, "", "user:pw@proxy:1"),
     NONE, NONE, MACHINE, {}},
    {"manual proxy for http only: https goes direct", user(false, "", "http=proxy:80"), NONE, NONE,
     DIRECT, {}},
    {"manual SOCKS proxy alone: named, never direct", user(false, "", "socks=socks.corp:1080"),
     NONE, NONE, socks_only("socks.corp:1080"), {}},
    {"a manual list of blanks counts as none", user(false, "", " ; "), NONE, NONE, MACHINE, {}},
    // clang-format on
};

TEST(ChooseProxyRoute, FollowsTheUsersSettingsInOrder) {
    for (const OrderCase& c : ORDER_CASES) {
        SCOPED_TRACE(c.what);
        FakeProxyPlatform platform;
        platform.settings = c.settings;
        platform.detected = c.detected;
        platform.scripted = c.scripted;
        platform.detection_takes = c.detection_takes;
        platform.script_takes = c.script_takes;
        EXPECT_EQ(choose_proxy_routes(ADDRESS, platform), c.expected);
        ASSERT_EQ(platform.journal.size(), c.calls.size());
        for (std::size_t i = 0; i < c.calls.size(); ++i) {
            EXPECT_TRUE(platform.journal[i].starts_with(c.calls[i])) << platform.journal[i];
            EXPECT_NE(platform.journal[i].find(std::string(" for ") + std::string(ADDRESS)),
                      std::string::npos)
                << platform.journal[i];
        }
    }
}

TEST(ChooseProxyRoute, DetectionAndScriptShareOneLimit) {
    struct Case {
        milliseconds detection_takes;
        std::vector<std::string> journal;
    };
    const std::vector<Case> cases = {
        {ms(40),
         {"detect for " + std::string(ADDRESS) + " within " + LIMIT,
          "script " + PAC + " for " + std::string(ADDRESS) + " within " +
              std::to_string(PROXY_DISCOVERY_LIMIT.count() - 40)}},
        {PROXY_DISCOVERY_LIMIT - ms(1),
         {"detect for " + std::string(ADDRESS) + " within " + LIMIT,
          "script " + PAC + " for " + std::string(ADDRESS) + " within 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detection_takes.count());
        FakeProxyPlatform platform;
        platform.settings = user(true, PAC);
        platform.detection_takes = c.detection_takes;
        choose_proxy_routes(ADDRESS, platform);
        EXPECT_EQ(platform.journal, c.journal);
    }
}

struct DiscoveryCase {
    DiscoveredProxy answer;
    std::optional<ProxyRoutes> expected;
};

TEST(RoutesFromDiscovery, ReadsTheListAsWindowsWritesItInOrder) {
    const ProxyRoute a = proxy("a:1");
    const ProxyRoute b = proxy("b:2");
    const std::vector<DiscoveryCase> cases = {
        {NO_PROXY_ANSWER, DIRECT},
        {answer("proxy:3128"), named("proxy:3128")},
        {answer("proxy:3128", "<local>"), named("proxy:3128", "<local>")},
        {answer(" a:1 ; b:2"), routes({a, b})},
        {answer("a:1 b:2"), routes({a, b})},  // whitespace separates entries too
        {answer("a:1\tb:2\r\n"), routes({a, b})},
        {answer("a:1;DIRECT"), routes({a, DIRECT_ROUTE})},
        {answer("direct"), DIRECT},
        {answer("DIRECT; a:1"), DIRECT},  // nothing after DIRECT is ever needed
        {answer("PROXY a:1; DIRECT"), routes({a, DIRECT_ROUTE})},
        {answer("proxy a:1; Proxy b:2; direct"), routes({a, b, DIRECT_ROUTE})},
        {answer("PROXY a:1 PROXY b:2"), routes({a, b})},
        {answer("PROXY a:1 b:2"), routes({a, b})},
        {answer("PROXY a:1; PROXY a:1; b:2; a:1"), routes({a, b})},  // each entry once
        {answer("http://proxy:8080/"), named("proxy:8080")},
        {answer("10.0.0.1:8080"), named("10.0.0.1:8080")},
        {answer("[fd00::1]:8080"), named("[fd00::1]:8080")},
        {answer("PROXY [fd00::1]:8080; [fd00::2]"),
         routes({proxy("[fd00::1]:8080"), proxy("[fd00::2]")})},
        {answer("[fd00::1]"), named("[fd00::1]")},
        // SOCKS: left out for the next choice; alone, named.
        {answer("SOCKS s:1080"), socks_only("s:1080")},
        {answer("socks5 s:1080; SOCKS4 t:1081"), socks_only("s:1080")},
        {answer("socks=s:1080"), socks_only("s:1080")},
        {answer("socks://s:1080"), socks_only("s:1080")},
        {answer("SOCKS s:1080; PROXY a:1"), named("a:1")},
        {answer("PROXY a:1; SOCKS s:1080; DIRECT"), routes({a, DIRECT_ROUTE})},
        {answer("SOCKS s:1080; DIRECT"), DIRECT},
        // What cannot be read makes the whole answer unusable.
        {answer(""), std::nullopt},
        {answer(";;"), std::nullopt},
        {answer("PROXY"), std::nullopt},
        {answer("proxy"), std::nullopt},  // the keyword, in any case, without its server
        {answer("PROXY ;a:1"), std::nullopt},
        {answer("PROXY DIRECT"), std::nullopt},
        {answer("SOCKS"), std::nullopt},
        {answer("SOCKS ;a:1"), std::nullopt},
        {answer("a:1; ???"), std::nullopt},
        {answer("https://proxy:443"), std::nullopt},
        {answer("proxy:"), std::nullopt},
        {answer("proxy:0"), std::nullopt},
        {answer("proxy:65536"), std::nullopt},
        {answer("proxy:80x"), std::nullopt},
        {answer("user@proxy:80"), std::nullopt},
        {answer("proxy:80/path"), std::nullopt},
        {answer("[fd00::1"), std::nullopt},
    };
    for (const DiscoveryCase& c : cases) {
        SCOPED_TRACE(c.answer.proxy);
        EXPECT_EQ(routes_from_discovery(c.answer), c.expected);
    }
}

struct ManualCase {
    std::string proxy;
    std::string bypass;
    std::optional<ProxyRoutes> expected;
};

TEST(RoutesFromManual, PicksTheHttpsProxyAndKeepsTheBypassList) {
    const std::vector<ManualCase> cases = {
        {"proxy:3128", "", named("proxy:3128")},
        {"proxy:3128", "<local>", named("proxy:3128", "<local>")},
        {"http=web:80;https=secure:443", "", named("secure:443")},
        {"HTTPS=secure:443;http=web:80", "", named("secure:443")},
        {"all:8080;https=secure:443", "", named("secure:443")},
        {"http=web:80;all:8080", "", named("all:8080")},
        {"HTTP=web:80 Https=secure:443", "", named("secure:443")},
        {"http=web:80;ftp=files:21", "", DIRECT},
        {"http=web:80;ftp=files:21;socks=socks:1080", "", socks_only("socks:1080")},
        {"socks=socks:1080", "", socks_only("socks:1080")},
        {"SOCKS=socks:1080", "", socks_only("socks:1080")},
        {"socks=socks:1080 https=secure:443", "", named("secure:443")},
        {"socks=socks:1080;all:8080", "", named("all:8080")},
        {"https=socks://socks:1080", "", socks_only("socks:1080")},
        {"[fd00::1]:3128", "", named("[fd00::1]:3128")},
        {"socks=", "", std::nullopt},
        {"http://proxy:3128", "", named("proxy:3128")},
        {"proxy:3128", "localhost; 127.*, *.corp  <local>",
         named("proxy:3128", "localhost;127.*;*.corp;<local>")},
        {"https=", "", std::nullopt},
        {"https=user:pw@proxy:1", "", std::nullopt},
        {"proxy:99999", "", std::nullopt},
        {"", "", std::nullopt},
    };
    for (const ManualCase& c : cases) {
        SCOPED_TRACE(c.proxy);
        EXPECT_EQ(routes_from_manual(c.proxy, c.bypass), c.expected);
    }
}

TEST(NormalizedBypassList, SeparatesEntriesBySemicolonsAlone) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"<local>", "<local>"},
        {" a.example ;; b.example ", "a.example;b.example"},
        {"a.example,b.example c.example\td.example", "a.example;b.example;c.example;d.example"},
        {";", ""},
    };
    for (const auto& [list, expected] : cases) {
        SCOPED_TRACE(list);
        EXPECT_EQ(normalized_bypass_list(list), expected);
    }
}

}  // namespace
}  // namespace vorn
