// The client IP text that per-IP limits count: the remote address without its port.
#pragma once

#include <string>

namespace murva {

// "[v6]:port" -> "v6", "v4:port" -> "v4"; anything unexpected is used as it is (the text is opaque).
std::string clientIpFromAddress(const std::string& remoteAddress);

} // namespace murva
