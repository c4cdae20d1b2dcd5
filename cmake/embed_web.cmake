# Turns the files of the playground page (web/) into one C++ source, so that the executable
# serves them with nothing beside it. Run as a build step:
#   cmake -DWEB_DIR=<web folder> -DOUTPUT=<generated .cpp> -P embed_web.cmake
# web/index.html is served at "/", every other file at "/" + its name.
if(NOT WEB_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DWEB_DIR=DIR -DOUTPUT=FILE -P embed_web.cmake")
endif()

file(GLOB files LIST_DIRECTORIES false RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(FILTER files EXCLUDE REGEX "^\\.")
list(SORT files)
if(NOT files)
  message(FATAL_ERROR "${WEB_DIR} holds no files")
endif()

set(arrays "")
set(entries "")
set(index 0)
foreach(name ${files})
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  elseif(name MATCHES "\\.png$")
    set(type "image/png")
  else()
    message(FATAL_ERROR "web/${name}: no content type known for this kind of file")
  endif()
  if(name STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/${name}")
  endif()

  # The bytes as a char array: exact, whatever the file holds (no escaping, no size limit of
  # string literals).
  file(READ ${WEB_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hex_length)
  if(hex_length EQUAL 0)
    message(FATAL_ERROR "web/${name} is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Sixteen to a line (CMake's regular expressions have no {n}).
  string(REPEAT "'\\\\x..'," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "// web/${name}\nconstexpr char FILE_${index}[] = {\n    ${bytes}};\n\n")
  string(APPEND entries "    {\"${path}\", \"${type}\", {FILE_${index}, sizeof FILE_${index}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(source "// Generated from web/ by cmake/embed_web.cmake at build time; edit the files there.
#include \"http/web_assets.h\"

namespace {

${arrays}}  // namespace

const WebAsset WEB_ASSETS[] = {
${entries}};
const std::size_t WEB_ASSET_COUNT = ${index};
")

# Rewritten only when it changes, so an unchanged page rebuilds nothing.
set(current "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} current)
endif()
if(NOT current STREQUAL source)
  file(WRITE ${OUTPUT} "${source}")
endif()
