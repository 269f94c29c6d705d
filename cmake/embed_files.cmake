# Writes OUTPUT, a C++ source defining vedhost::kWebAssets from FILES (a list
# of paths under DIR); run with cmake -P at build time.
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")
set(body "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" hex "${hex}")
  get_filename_component(ext "${name}" LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  set(type "${types_${ext}}")
  if(type STREQUAL "")
    message(FATAL_ERROR "no content type for ${name}")
  endif()
  file(SIZE "${DIR}/${name}" size)
  string(APPEND body "const unsigned char file${index}[] = {\n${hex}0};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", file${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/embed_files.cmake from tools/vedhost/web/page; do not edit.
#include \"web/web_assets.h\"

namespace vedhost {
namespace {
${body}}  // namespace

const WebAsset kWebAssets[] = {
${table}};
const std::size_t kWebAssetCount = ${index};

}  // namespace vedhost
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
