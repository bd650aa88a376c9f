// The appliance's default addressing: what it takes when its stored addressing cannot be
// used, and when no DHCP server gives it an address. The PC tool knows it too, to tell an
// appliance that fell back to it from one that got an address.
#pragma once

namespace proto {

inline constexpr char kDefaultIp[] = "192.168.0.2";
inline constexpr char kDefaultNetmask[] = "255.255.255.0";

}  // namespace proto
