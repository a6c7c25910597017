// Default routes through /bin/route: the delete loop, gateway tokens, the
// host-route retry and the failure rows.
#include "netm_fixture.h"

using namespace pelk::network;
using netm_test::NetmTest;

namespace
{

const std::string DEL = "/bin/route del default gw 0.0.0.0 dev eth0";

std::string gw(const std::string& token)
{
    return "/bin/route add default gw " + token + " dev eth0";
}

std::string host_route(const std::string& token)
{
    return "/bin/route add -host " + token + " dev eth0";
}

}  // namespace

TEST_F(NetmTest, RoutesDeleteEveryDefaultRouteThenAddThroughTheDevice)
{
    host().exec_results = {0, 0, 1, 0};  // two routes deleted, then none left
    EXPECT_TRUE(netlib_netm_configure_routes(&ctx, "eth0", ""));
    EXPECT_EQ(execs(), (std::vector<std::string>{DEL, DEL, DEL, "/bin/route add default dev eth0"}));
    ASSERT_EQ(host().execs.size(), 4u);
    EXPECT_EQ(host().execs[0].args, (std::vector<std::string>{"del", "default", "gw", "0.0.0.0", "dev", "eth0"}));
    EXPECT_EQ(host().execs[3].args, (std::vector<std::string>{"add", "default", "dev", "eth0"}));
    EXPECT_TRUE(host().logs.empty());

    host().reset();
    host().exec_results = {1, 3};  // the device route fails: false, no log
    EXPECT_FALSE(netlib_netm_configure_routes(&ctx, "eth0", ""));
    EXPECT_EQ(execs(), (std::vector<std::string>{DEL, "/bin/route add default dev eth0"}));
    EXPECT_TRUE(host().logs.empty());
}

TEST_F(NetmTest, RoutesDeleteStepIsBounded)
{
    // A runner that reports success for every delete without removing anything.
    host().exec_default = 0;
    EXPECT_TRUE(netlib_netm_configure_routes(&ctx, "eth0", "10.0.0.1"));
    const std::vector<std::string> lines = execs();
    ASSERT_EQ(lines.size(), 257u);
    for (size_t i = 0; i < 256; ++i)
        EXPECT_EQ(lines[i], DEL);
    EXPECT_EQ(lines[256], gw("10.0.0.1"));
    EXPECT_TRUE(host().logs.empty());
}

TEST_F(NetmTest, RoutesGatewayTokens)
{
    struct Row {
        const char* gateway;
        std::vector<std::string> tokens;
    };
    const Row rows[] = {
        {"10.0.0.1", {"10.0.0.1"}},
        {"10.0.0.1 10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
        {"  10.0.0.1   10.0.0.2  ", {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1\t 10.0.0.2", {"10.0.0.1", "10.0.0.2"}},  // trimmed inside a token
        {" ", {}},
        {"     ", {}},
    };
    for (const Row& row : rows) {
        host().reset();
        host().exec_results = {1};
        EXPECT_TRUE(netlib_netm_configure_routes(&ctx, "eth0", row.gateway)) << row.gateway;
        std::vector<std::string> want{DEL};
        for (const std::string& t : row.tokens)
            want.push_back(gw(t));
        EXPECT_EQ(execs(), want) << "'" << row.gateway << "'";
        EXPECT_TRUE(host().logs.empty());
    }
}

TEST_F(NetmTest, RoutesHostRouteRetry)
{
    // First gateway route fails, host route and retry succeed; the second token is then handled.
    host().exec_results = {1, 2, 0, 0, 0};
    EXPECT_TRUE(netlib_netm_configure_routes(&ctx, "eth0", "10.0.0.1  192.168.7.1"));
    EXPECT_EQ(execs(), (std::vector<std::string>{DEL, gw("10.0.0.1"), host_route("10.0.0.1"), gw("10.0.0.1"),
                                                 gw("192.168.7.1")}));
    ASSERT_EQ(host().execs.size(), 5u);
    EXPECT_EQ(host().execs[2].args, (std::vector<std::string>{"add", "-host", "10.0.0.1", "dev", "eth0"}));
    EXPECT_EQ(host().execs[1].args, (std::vector<std::string>{"add", "default", "gw", "10.0.0.1", "dev", "eth0"}));
    EXPECT_TRUE(host().logs.empty());

    // The host route fails: later tokens are not handled.
    host().reset();
    host().exec_results = {1, 2, 7};
    EXPECT_FALSE(netlib_netm_configure_routes(&ctx, "eth0", "10.0.0.1 10.0.0.2"));
    EXPECT_EQ(execs(), (std::vector<std::string>{DEL, gw("10.0.0.1"), host_route("10.0.0.1")}));
    expect_one_log("netlib_netm_configure_routes", "Failed to configure routes on interface \"eth0\"");

    // The retry fails.
    host().reset();
    host().exec_results = {1, 0, 2, 0, 2};
    EXPECT_FALSE(netlib_netm_configure_routes(&ctx, "eth0", "10.0.0.1 10.0.0.2 10.0.0.3"));
    EXPECT_EQ(execs(),
              (std::vector<std::string>{DEL, gw("10.0.0.1"), gw("10.0.0.2"), host_route("10.0.0.2"), gw("10.0.0.2")}));
    expect_one_log("netlib_netm_configure_routes", "Failed to configure routes on interface \"eth0\"");
}

TEST_F(NetmTest, RoutesRefuseAnInvalidGatewayBeforeDeletingAnything)
{
    const char* bad[] = {"10.0.0.1 10.0.0.300", "gateway", "10.0.0.1 0.0.0.0", "  10.0.0 "};
    for (const char* gateway : bad) {
        host().reset();
        EXPECT_FALSE(netlib_netm_configure_routes(&ctx, "eth0", gateway)) << gateway;
        EXPECT_TRUE(host().execs.empty()) << gateway;
        ASSERT_EQ(host().logs.size(), 2u) << ::testing::PrintToString(logs());
        EXPECT_EQ(host().logs[0].text.rfind("Invalid gateway '", 0), 0u);
        EXPECT_EQ(host().logs[0].function, "add_route");
        EXPECT_EQ(host().logs[0].level, 3);
        EXPECT_EQ(host().logs[1].function, "netlib_netm_configure_routes");
        EXPECT_EQ(host().logs[1].text, "Failed to configure routes on interface \"eth0\"");
    }
    host().reset();
    EXPECT_FALSE(netlib_netm_configure_routes(&ctx, "eth0", "10.0.0.1 10.0.0.300 nope"));
    EXPECT_EQ(host().logs[0].text, "Invalid gateway '10.0.0.300'");  // the first refusal, trimmed token
}

TEST_F(NetmTest, RoutesValidateGatewaysWithTheFixedFlags)
{
    host().exec_results = {1};
    EXPECT_TRUE(netlib_netm_configure_routes(&ctx, "eth0", "10.0.0.1"));
    ASSERT_FALSE(host().validations.empty());
    for (const fake::ValidateCall& v : host().validations) {
        EXPECT_EQ(v.function, "ipv4_address_valid");
        EXPECT_EQ(v.text, "10.0.0.1");
        EXPECT_FALSE(v.flag1);
        EXPECT_TRUE(v.flag2);
    }
}
