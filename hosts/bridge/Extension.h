#pragma once
// The ostrel extension as browsers know it: the native host's name in the
// host manifests, and the IDs the extension's manifest pins (Chromium derives
// its ID from the manifest's "key"; Firefox takes the Gecko ID as written).

namespace ostrel::bridge {

inline constexpr const char* kHostName = "org.ostrel.bridge";
inline constexpr const char* kChromiumExtensionId = "amjognmoflajiapjipcbekmikmkbdpkl";
inline constexpr const char* kFirefoxExtensionId = "bridge@ostrel.org";

}  // namespace ostrel::bridge
