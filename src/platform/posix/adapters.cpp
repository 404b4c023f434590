#include "platform/adapters.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace platform {

namespace {

constexpr uint32_t kRecordBytes = 640;   // the room one record takes in the Windows layout
constexpr unsigned kRouteGateway = 0x2;  // RTF_GATEWAY

std::string ReadLine(const std::string& path) {
  std::string line;
  std::ifstream file(path);
  std::getline(file, line);
  return line;
}

// The first gateway of a route through each interface, from the kernel's IPv4 route table.
std::map<std::string, std::string> FirstGateways() {
  std::map<std::string, std::string> gateways;
  // /proc/net is a link to this, and gone under a /proc that shows processes only.
  std::ifstream routes("/proc/self/net/route");
  std::string line;
  std::getline(routes, line);  // the column names
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string name;
    std::string destination;
    std::string gateway;
    unsigned flags = 0;
    fields >> name >> destination >> gateway >> std::hex >> flags;
    const auto raw =
        static_cast<uint32_t>(std::stoul(gateway.empty() ? "0" : gateway, nullptr, 16));
    if ((flags & kRouteGateway) == 0 || raw == 0 || gateways.contains(name)) {
      continue;
    }
    in_addr address{};
    address.s_addr = raw;  // the table holds it in network order already
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    gateways[name] = text;
  }
  return gateways;
}

}  // namespace

uint32_t ReadAdapterList(uint32_t* bufferSize, std::vector<AdapterRecord>* adapters) {
  struct Interface {
    unsigned index;
    std::string name;
  };
  std::vector<Interface> interfaces;
  if (struct if_nameindex* names = if_nameindex()) {
    for (const struct if_nameindex* n = names; n->if_index != 0; ++n) {
      interfaces.push_back({n->if_index, n->if_name});
    }
    if_freenameindex(names);
  }
  std::sort(interfaces.begin(), interfaces.end(),
            [](const Interface& a, const Interface& b) { return a.index < b.index; });

  const std::map<std::string, std::string> gateways = FirstGateways();
  std::vector<AdapterRecord> found;
  for (const Interface& interface : interfaces) {
    const std::string base = "/sys/class/net/" + interface.name;
    const unsigned long flags = std::strtoul(ReadLine(base + "/flags").c_str(), nullptr, 16);
    if ((flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    AdapterRecord record{};
    unsigned bytes[6] = {};
    // An interface without a hardware address (a tunnel device) has nothing to tell.
    if (std::sscanf(ReadLine(base + "/address").c_str(), "%x:%x:%x:%x:%x:%x", &bytes[0], &bytes[1],
                    &bytes[2], &bytes[3], &bytes[4], &bytes[5]) != 6) {
      continue;
    }
    for (int i = 0; i < 6; ++i) {
      record.address[i] = static_cast<uint8_t>(bytes[i]);
    }
    const auto gateway = gateways.find(interface.name);
    record.gateway = gateway != gateways.end() ? gateway->second : "0.0.0.0";
    found.push_back(std::move(record));
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
