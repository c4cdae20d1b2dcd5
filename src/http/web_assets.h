// The files of the playground page, built into the executable from web/ (the definitions are
// generated at build time by cmake/embed_web.cmake).
#pragma once

#include <cstddef>
#include <string_view>

/// One embedded file: the path it is served at, its Content-Type and its bytes.
struct WebAsset {
  std::string_view path;
  std::string_view content_type;
  std::string_view body;
};

extern const WebAsset WEB_ASSETS[];
extern const std::size_t WEB_ASSET_COUNT;
