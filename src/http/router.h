#pragma once

#include "http/http_request.h"

/// Answers one request on `fd`. Returns whether the connection may carry another request
/// (false after an event stream or a failed write).
bool route(const HttpRequest& request, int fd);

