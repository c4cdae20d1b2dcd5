#pragma once

#include "http/http_request.h"

/// False for a request a web page could have sent: an Origin whose host is not a loopback
/// name, or a Host that names anything but loopback, the configured host, or (while the bridge
/// listens on loopback) the machine's loopback addresses. Such requests get 403. A request that
/// repeats either header is allowed only when every copy passes.
bool request_allowed(const HttpRequest& request);
