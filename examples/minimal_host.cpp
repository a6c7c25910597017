// The smallest host of libpelk_network_utils_core: own a context, open the
// interface module, ask for the main interface, close.
#include <pelk_network_utils_core.h>

#include <cstdio>
#include <string>

int main()
{
    netlib_context ctx{};
    ctx.front_end_marker = 1;  // prepared by this front end
    if (!pelk::network::netlib_libiface_init(&ctx))
        return 1;

    std::string iface;
    if (pelk::network::netlib_iface_guess_default_iface(&ctx, iface))
        std::printf("main interface: %s\n", iface.c_str());
    else
        std::printf("no main interface\n");

    pelk::network::netlib_libiface_close(&ctx);
    return 0;
}
