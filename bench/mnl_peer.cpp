#include "mnl_peer.h"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#ifndef IFF_LOWER_UP
#define IFF_LOWER_UP 0x10000
#endif
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace bench
{

namespace
{

const char* event_name(int event)
{
    static const char* const names[] = {"n/a", "if_down", "if_up", "lower_up", "address_assigned", "address_removed"};
    return event >= 1 && event <= 5 ? names[event] : names[0];
}

struct LinkAttrs {
    const char* name = nullptr;
    std::size_t name_len = 0;
};

int link_attr(const nlattr* attr, void* data)
{
    if (mnl_attr_get_type(attr) == IFLA_IFNAME) {
        auto* a = static_cast<LinkAttrs*>(data);
        a->name = static_cast<const char*>(mnl_attr_get_payload(attr));
        a->name_len = mnl_attr_get_payload_len(attr);
    }
    return MNL_CB_OK;
}

struct AddrAttrs {
    const unsigned char* address = nullptr;
    std::size_t address_len = 0;
    const unsigned char* local = nullptr;
    std::size_t local_len = 0;
};

int addr_attr(const nlattr* attr, void* data)
{
    auto* a = static_cast<AddrAttrs*>(data);
    const auto* payload = static_cast<const unsigned char*>(mnl_attr_get_payload(attr));
    if (mnl_attr_get_type(attr) == IFA_ADDRESS) {
        a->address = payload;
        a->address_len = mnl_attr_get_payload_len(attr);
    } else if (mnl_attr_get_type(attr) == IFA_LOCAL) {
        a->local = payload;
        a->local_len = mnl_attr_get_payload_len(attr);
    }
    return MNL_CB_OK;
}

int decode_link(const nlmsghdr* msg, PeerList& events)
{
    if (msg->nlmsg_len < NLMSG_HDRLEN + sizeof(ifinfomsg))
        return -1;
    const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(msg));
    LinkAttrs attrs;
    mnl_attr_parse(msg, sizeof(ifinfomsg), link_attr, &attrs);
    char name[IFNAMSIZ + 1] = {};
    if (attrs.name)
        std::strncpy(name, attrs.name, attrs.name_len < IFNAMSIZ ? attrs.name_len : IFNAMSIZ);
    const unsigned int flags = info->ifi_flags;
    const int event = (flags & (IFF_UP | IFF_LOWER_UP)) == (IFF_UP | IFF_LOWER_UP) ? 3 : (flags & IFF_UP) ? 2 : 1;
    PeerPayload payload;
    payload["flags"] = flags;
    payload["ifindex"] = info->ifi_index;
    payload["ifname"] = std::string(name);
    payload["type"] = static_cast<unsigned short>(info->ifi_type);
    payload["eventName"] = std::string(event_name(event));
    events.emplace_back(event, std::move(payload));
    return 0;
}

void address_text(char (&text)[40], unsigned char family, const unsigned char* bytes, std::size_t len)
{
    if (family == AF_INET && len >= 4) {
        inet_ntop(AF_INET, bytes, text, sizeof text);
    } else if (family == AF_INET6 && len >= 16) {
        std::snprintf(text, sizeof text, "%.4x:%.4x:%.4x:%.4x:%.4x:%.4x:%.4x:%.4x", bytes[0] << 8 | bytes[1],
                      bytes[2] << 8 | bytes[3], bytes[4] << 8 | bytes[5], bytes[6] << 8 | bytes[7],
                      bytes[8] << 8 | bytes[9], bytes[10] << 8 | bytes[11], bytes[12] << 8 | bytes[13],
                      bytes[14] << 8 | bytes[15]);
    }
}

int decode_address(const nlmsghdr* msg, PeerList& events)
{
    if (msg->nlmsg_len < NLMSG_HDRLEN + sizeof(ifaddrmsg))
        return -1;
    const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(msg));
    AddrAttrs attrs;
    mnl_attr_parse(msg, sizeof(ifaddrmsg), addr_attr, &attrs);
    char text[40] = {};
    if (attrs.local)
        address_text(text, info->ifa_family, attrs.local, attrs.local_len);
    else if (attrs.address)
        address_text(text, info->ifa_family, attrs.address, attrs.address_len);
    char name[IF_NAMESIZE + 1] = {};
    if_indextoname(info->ifa_index, name);
    const int event = msg->nlmsg_type == RTM_NEWADDR ? 4 : 5;
    PeerPayload payload;
    payload["family"] = std::string(info->ifa_family == AF_INET ? "AF_INET" : "AF_INET6");
    payload["flags"] = static_cast<unsigned char>(info->ifa_flags);
    payload["ifaddr"] = std::string(text);
    payload["ifindex"] = static_cast<unsigned int>(info->ifa_index);
    payload["ifname"] = std::string(name);
    payload["eventName"] = std::string(event_name(event));
    events.emplace_back(event, std::move(payload));
    return 0;
}

}  // namespace

int peer_decode(const nlmsghdr* msg, PeerList& events)
{
    switch (msg->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
            return decode_link(msg, events);
        case RTM_NEWADDR:
        case RTM_DELADDR:
            return decode_address(msg, events);
        default:
            return 0;
    }
}

}  // namespace bench
