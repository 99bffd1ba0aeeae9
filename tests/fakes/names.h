#pragma once
// The names the unit tests share: the four identities and where FakeEnvironment
// puts the state directory.

#include <string>

namespace tessarin::fakes {

inline const std::string kRoOff = "Tessarin.Sandbox.v1.ReadOnly.Offline";
inline const std::string kRoOn = "Tessarin.Sandbox.v1.ReadOnly.Online";
inline const std::string kWwOff = "Tessarin.Sandbox.v1.WorkspaceWrite.Offline";
inline const std::string kWwOn = "Tessarin.Sandbox.v1.WorkspaceWrite.Online";

inline const std::string kStateDir = "C:\\Users\\u\\AppData\\Local\\Tessarin\\sandbox";
inline const std::string kMarker = kStateDir + "\\setup-v1.json";
inline const std::string kLeases = kStateDir + "\\acl-leases";

inline std::string lease_of(const std::string& profile) {
  return kLeases + "\\" + profile + ".json";
}
// The identity's container folder, as the fake profile functions give it.
inline std::string container_of(const std::string& profile) {
  std::string name = profile;
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return "C:\\Users\\u\\AppData\\Local\\Packages\\" + name + "\\AC";
}

}  // namespace tessarin::fakes
