#include "platform/adapters.h"

#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <string_view>
#include <utility>

#include "platform/unique_handle.h"

namespace platform {

namespace {

constexpr uint32_t kRecordBytes = 640;  // the room one record takes in the Windows layout
// What the kernel puts in one read of a dump at most: it sizes each part of a dump to the reads
// it has seen, and to no less than a page up to 8 KB. A larger room costs the kernel larger parts.
constexpr std::size_t kReceiveBytes = 8192;
// A dump that the kernel marks as overtaken by a change is asked for again, this often at most.
constexpr int kDumpAttempts = 3;

constexpr std::size_t kHardwareBytes = 6;
// IPv4 addresses one interface listing has room for at first; it grows when that is short.
constexpr std::size_t kListedAddresses = 32;

using Descriptor = UniqueHandle<int, -1, &::close>;
using Bytes = std::span<const uint8_t>;

// Each thread keeps its sockets and their room: opening them is a third of a call's cost, and
// the questions are asked anew every time all the same.
struct RouteSocket {
  Descriptor descriptor;
  uint32_t sequence = 0;  // answers to an abandoned question are told apart by it
  std::vector<uint8_t> buffer;
};

// And its socket for the interface questions, with the room for the list of IPv4 addresses.
struct InterfaceSocket {
  Descriptor descriptor;
  std::vector<ifreq> listed = std::vector<ifreq>(kListedAddresses);
};

constexpr std::size_t Align4(std::size_t size) {
  return (size + 3) & ~std::size_t{3};
}

template <typename T>
T Read(Bytes bytes) {
  T value{};
  std::memcpy(&value, bytes.data(), std::min(sizeof value, bytes.size()));
  return value;
}

// Calls `visit(type, payload)` for each attribute in `bytes`; stops at a malformed one.
template <typename Visit>
void ForEachAttribute(Bytes bytes, Visit&& visit) {
  constexpr std::size_t kHeader = Align4(sizeof(rtattr));
  while (bytes.size() >= kHeader) {
    const auto attribute = Read<rtattr>(bytes);
    if (attribute.rta_len < kHeader || attribute.rta_len > bytes.size()) {
      return;
    }
    visit(attribute.rta_type, bytes.subspan(kHeader, attribute.rta_len - kHeader));
    bytes = bytes.subspan(std::min(Align4(attribute.rta_len), bytes.size()));
  }
}

uint32_t ReadU32(Bytes payload) {
  return payload.size() >= sizeof(uint32_t) ? Read<uint32_t>(payload) : 0;
}

// One dump of the kernel's routing tables. `request` is what follows the message header (the
// family header and any attributes); `visit(body)` sees what follows the header of each answer
// of type `answer`, and `restart()` forgets what it saw when the kernel says a change overtook
// the dump. False when the kernel could not be asked or refused.
template <typename Visit, typename Restart>
bool Dump(RouteSocket& route, uint16_t type, uint16_t answer, Bytes request, Visit&& visit,
          Restart&& restart) {
  static_assert(sizeof(nlmsghdr) == Align4(sizeof(nlmsghdr)));
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(sizeof header + request.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = ++route.sequence;
    const int socket = route.descriptor.get();
    std::vector<uint8_t>& message = route.buffer;
    message.resize(kReceiveBytes);
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + sizeof header, request.data(), request.size());
    ssize_t sent = 0;
    do {
      sent = send(socket, message.data(), header.nlmsg_len, 0);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(header.nlmsg_len)) {
      return false;
    }
    bool overtaken = false;
    for (bool done = false; !done;) {
      ssize_t received = 0;
      do {
        // A signal (the service's stop or user codes) only interrupts the wait.
        received = recv(socket, message.data(), message.size(), MSG_TRUNC);
      } while (received < 0 && errno == EINTR);
      if (received <= 0 || static_cast<std::size_t>(received) > message.size()) {
        return false;
      }
      Bytes rest(message.data(), static_cast<std::size_t>(received));
      while (!done && rest.size() >= sizeof(nlmsghdr)) {
        const auto answerHeader = Read<nlmsghdr>(rest);
        if (answerHeader.nlmsg_len < sizeof answerHeader || answerHeader.nlmsg_len > rest.size()) {
          return false;
        }
        const Bytes body =
            rest.subspan(sizeof answerHeader, answerHeader.nlmsg_len - sizeof answerHeader);
        rest = rest.subspan(std::min(Align4(answerHeader.nlmsg_len), rest.size()));
        if (answerHeader.nlmsg_seq != header.nlmsg_seq) {
          continue;  // a stale answer to an earlier attempt
        }
        overtaken = overtaken || (answerHeader.nlmsg_flags & NLM_F_DUMP_INTR) != 0;
        if (answerHeader.nlmsg_type == NLMSG_DONE) {
          done = true;
        } else if (answerHeader.nlmsg_type == NLMSG_ERROR) {
          if (ReadU32(body) != 0) {
            return false;
          }
          done = true;
        } else if (answerHeader.nlmsg_type == answer) {
          visit(body);
        }
      }
    }
    if (!overtaken || attempt + 1 == kDumpAttempts) {
      return true;
    }
    restart();
  }
  return false;
}

struct Link {
  int index;
  AdapterRecord record;
};

struct DefaultRoute {
  uint32_t table;
  uint32_t metric;
  int index;
  uint32_t gateway;  // network order
};

// One interface question (an ifreq, or the ifconf of the address listing), asked again when a
// signal cut it short.
template <typename Question>
bool Ask(int socket, unsigned long request, Question* question) {
  int result = 0;
  do {
    result = ioctl(socket, request, question);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// The interface named in `question` when it has a six-byte hardware address: Ethernet and all
// that looks like it (Wi-Fi, bridges, bonds, VLANs, veth, tap). Loopback, tunnels (an IP
// address for a hardware one) and IPoIB are left out.
void ReadLink(int socket, ifreq question, std::vector<Link>* links) {
  if (!Ask(socket, SIOCGIFINDEX, &question)) {
    return;  // gone, or renamed, since it was listed
  }
  Link link{question.ifr_ifindex, {}};
  if (!Ask(socket, SIOCGIFHWADDR, &question)) {
    return;
  }
  const auto family = question.ifr_hwaddr.sa_family;
  if (family != ARPHRD_ETHER && family != ARPHRD_IEEE802) {
    return;
  }
  static_assert(sizeof question.ifr_hwaddr.sa_data >= kHardwareBytes);
  std::memcpy(link.record.address, question.ifr_hwaddr.sa_data, kHardwareBytes);
  links->push_back(std::move(link));
}

// The interfaces IPv4 is configured on, as GetAdaptersInfo lists the adapters IPv4 is bound
// to: one SIOCGIFCONF lists each IPv4 address with its interface, and two questions per
// interface give its index and hardware address. (A link dump would also list interfaces
// without IPv4, at several times the cost: the kernel fills every attribute of every link.)
bool ReadIpv4Links(InterfaceSocket& interfaces, std::vector<Link>* links) {
  std::vector<ifreq>& listed = interfaces.listed;
  ifconf configuration{};
  for (;;) {
    configuration.ifc_len = static_cast<int>(listed.size() * sizeof(ifreq));
    configuration.ifc_req = listed.data();
    if (!Ask(interfaces.descriptor.get(), SIOCGIFCONF, &configuration)) {
      return false;
    }
    // A full answer may have been cut short: ask again with twice the room.
    if (static_cast<std::size_t>(configuration.ifc_len) < listed.size() * sizeof(ifreq)) {
      break;
    }
    listed.resize(listed.size() * 2);
  }
  const std::size_t count = static_cast<std::size_t>(configuration.ifc_len) / sizeof(ifreq);
  std::vector<std::string_view> seen;
  for (std::size_t at = 0; at < count; ++at) {
    ifreq question{};
    // An address's label ("eth0:1") names its interface up to the colon, which no interface
    // name holds; an interface with several addresses is one adapter.
    const std::string_view label(listed[at].ifr_name, strnlen(listed[at].ifr_name, IFNAMSIZ));
    const std::string_view name = label.substr(0, label.find(':'));
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      continue;
    }
    seen.push_back(name);
    std::memcpy(question.ifr_name, name.data(), name.size());
    ReadLink(interfaces.descriptor.get(), question, links);
  }
  return true;
}

// An interface that a default route leaves through without an IPv4 address of its own (an
// onlink route) is an adapter with a gateway all the same.
void AddRouteLinks(int socket, const std::vector<DefaultRoute>& routes, std::vector<Link>* links) {
  for (const DefaultRoute& route : routes) {
    const auto listed = [&](const Link& link) { return link.index == route.index; };
    if (std::any_of(links->begin(), links->end(), listed)) {
      continue;
    }
    ifreq question{};
    question.ifr_ifindex = route.index;
    if (Ask(socket, SIOCGIFNAME, &question)) {
      ReadLink(socket, question, links);
    }
  }
}

// Every IPv4 default route through a gateway in `table` (RT_TABLE_UNSPEC: in every table), one
// entry per next hop. A kernel that filters dumps (strict checking, since Linux 4.20) sends only
// that table's routes; an older one sends all, and the caller tells them apart.
bool ReadDefaultRoutes(RouteSocket& socket, uint8_t table, std::vector<DefaultRoute>* routes) {
  rtmsg request{};
  request.rtm_family = AF_INET;
  request.rtm_table = table;
  Bytes requestBytes(reinterpret_cast<const uint8_t*>(&request), sizeof request);
  return Dump(
      socket, RTM_GETROUTE, RTM_NEWROUTE, requestBytes,
      [&](Bytes body) {
        if (body.size() < sizeof(rtmsg)) {
          return;
        }
        const auto route = Read<rtmsg>(body);
        if (route.rtm_family != AF_INET || route.rtm_dst_len != 0 ||
            route.rtm_type != RTN_UNICAST || (route.rtm_flags & RTNH_F_DEAD) != 0) {
          return;
        }
        DefaultRoute found{route.rtm_table, 0, 0, 0};
        Bytes multipath;
        ForEachAttribute(body.subspan(Align4(sizeof route)), [&](uint16_t type, Bytes payload) {
          switch (type) {
            case RTA_TABLE:
              found.table = ReadU32(payload);
              break;
            case RTA_PRIORITY:
              found.metric = ReadU32(payload);
              break;
            case RTA_OIF:
              found.index = static_cast<int>(ReadU32(payload));
              break;
            case RTA_GATEWAY:
              found.gateway = ReadU32(payload);
              break;
            case RTA_MULTIPATH:
              multipath = payload;
              break;
            default:
              break;
          }
        });
        if (found.gateway != 0) {
          routes->push_back(found);
        }
        // Equal-cost next hops: each is a way out through its own interface.
        while (multipath.size() >= sizeof(rtnexthop)) {
          const auto hop = Read<rtnexthop>(multipath);
          if (hop.rtnh_len < sizeof hop || hop.rtnh_len > multipath.size()) {
            break;
          }
          DefaultRoute next = found;
          next.index = hop.rtnh_ifindex;
          next.gateway = 0;
          ForEachAttribute(multipath.subspan(Align4(sizeof hop), hop.rtnh_len - Align4(sizeof hop)),
                           [&](uint16_t type, Bytes payload) {
                             if (type == RTA_GATEWAY) {
                               next.gateway = ReadU32(payload);
                             }
                           });
          if (next.gateway != 0 && (hop.rtnh_flags & RTNH_F_DEAD) == 0) {
            routes->push_back(next);
          }
          multipath = multipath.subspan(std::min(Align4(hop.rtnh_len), multipath.size()));
        }
      },
      [&] { routes->clear(); });
}

// The tables some policy rule sends traffic to, each with the priority of the first such rule.
bool ReadRuleTables(RouteSocket& socket, std::map<uint32_t, uint32_t>* ranks) {
  fib_rule_hdr request{};
  request.family = AF_INET;
  Bytes requestBytes(reinterpret_cast<const uint8_t*>(&request), sizeof request);
  return Dump(
      socket, RTM_GETRULE, RTM_NEWRULE, requestBytes,
      [&](Bytes body) {
        if (body.size() < sizeof(fib_rule_hdr)) {
          return;
        }
        const auto rule = Read<fib_rule_hdr>(body);
        if (rule.action != FR_ACT_TO_TBL) {
          return;
        }
        uint32_t table = rule.table;
        uint32_t priority = 0;
        ForEachAttribute(body.subspan(Align4(sizeof rule)), [&](uint16_t type, Bytes payload) {
          if (type == FRA_TABLE) {
            table = ReadU32(payload);
          } else if (type == FRA_PRIORITY) {
            priority = ReadU32(payload);
          }
        });
        const auto [entry, added] = ranks->try_emplace(table, priority);
        if (!added) {
          entry->second = std::min(entry->second, priority);
        }
      },
      [&] { ranks->clear(); });
}

// The default routes the kernel takes: those of the main table with its lowest metric. Without
// one there, those of the table that the first policy rule leads to and that has one.
std::vector<DefaultRoute> ChosenRoutes(RouteSocket& socket, std::vector<DefaultRoute> routes) {
  const auto inMain = [](const DefaultRoute& route) { return route.table == RT_TABLE_MAIN; };
  if (std::any_of(routes.begin(), routes.end(), inMain)) {
    std::erase_if(routes, [&](const DefaultRoute& route) { return !inMain(route); });
  } else {
    std::map<uint32_t, uint32_t> ranks;
    if (routes.empty()) {
      return {};
    }
    if (!ReadRuleTables(socket, &ranks)) {
      socket.descriptor.reset();
      return {};
    }
    constexpr uint32_t kUnreached = std::numeric_limits<uint32_t>::max();
    const auto rank = [&](const DefaultRoute& route) {
      const auto found = ranks.find(route.table);
      return found != ranks.end() ? found->second : kUnreached;
    };
    uint32_t first = kUnreached;
    for (const DefaultRoute& route : routes) {
      first = std::min(first, rank(route));
    }
    std::erase_if(routes, [&](const DefaultRoute& route) {
      return first == kUnreached || rank(route) != first || route.table == RT_TABLE_LOCAL;
    });
  }
  uint32_t lowest = std::numeric_limits<uint32_t>::max();
  for (const DefaultRoute& route : routes) {
    lowest = std::min(lowest, route.metric);
  }
  std::erase_if(routes, [&](const DefaultRoute& route) { return route.metric != lowest; });
  return routes;
}

}  // namespace

uint32_t ReadAdapterList(uint32_t* bufferSize, std::vector<AdapterRecord>* adapters) {
  thread_local RouteSocket routeSocket;
  thread_local InterfaceSocket interfaceSocket;
  if (!routeSocket.descriptor) {
    routeSocket.descriptor.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    const int on = 1;  // refused by kernels before 4.20, which dump every table all the same
    if (routeSocket.descriptor) {
      setsockopt(routeSocket.descriptor.get(), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
    }
  }
  if (!interfaceSocket.descriptor) {
    interfaceSocket.descriptor.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  }
  if (!routeSocket.descriptor || !interfaceSocket.descriptor) {
    return kErrorNoData;
  }
  // The main table alone first (the local table's many routes are none of ours); all tables
  // only when it has no default route, for the policy tables.
  std::vector<DefaultRoute> routes;
  const auto inMain = [](const DefaultRoute& route) { return route.table == RT_TABLE_MAIN; };
  bool read = ReadDefaultRoutes(routeSocket, RT_TABLE_MAIN, &routes);
  if (read && std::none_of(routes.begin(), routes.end(), inMain)) {
    routes.clear();
    read = ReadDefaultRoutes(routeSocket, RT_TABLE_UNSPEC, &routes);
  }
  if (!read) {
    routeSocket.descriptor.reset();  // whatever it still holds is of no use: a new one next time
    return kErrorNoData;
  }
  const std::vector<DefaultRoute> chosen = ChosenRoutes(routeSocket, std::move(routes));
  std::vector<Link> links;
  if (!ReadIpv4Links(interfaceSocket, &links)) {
    return kErrorNoData;
  }
  AddRouteLinks(interfaceSocket.descriptor.get(), chosen, &links);
  std::sort(links.begin(), links.end(),
            [](const Link& a, const Link& b) { return a.index < b.index; });

  std::vector<AdapterRecord> found;
  found.reserve(links.size());
  for (Link& link : links) {
    link.record.gateway = "0.0.0.0";
    for (const DefaultRoute& route : chosen) {
      if (route.index == link.index) {
        in_addr address{};
        address.s_addr = route.gateway;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        link.record.gateway = text;
        break;
      }
    }
    found.push_back(std::move(link.record));
  }
  if (found.empty()) {
    return kErrorNoData;
  }
  const uint32_t needed = static_cast<uint32_t>(found.size()) * kRecordBytes;
  if (*bufferSize < needed) {
    *bufferSize = needed;
    return kErrorBufferOverflow;
  }
  *adapters = std::move(found);
  return 0;
}

}  // namespace platform
