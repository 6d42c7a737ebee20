# Writes OUTPUT, a C++ source holding each file of FILES (absolute paths under DIR, separated by |) as a byte
# array and a table of web assets: their path below DIR, content type and bytes. Run with cmake -P at build time.
string(REPLACE "|" ";" FILES "${FILES}")
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_mjs "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")
set(types_png "image/png")
set(types_ico "image/x-icon")
set(types_json "application/json")

set(arrays "")
set(entries "")
set(index 0)
foreach(file IN LISTS FILES)
    file(RELATIVE_PATH name "${DIR}" "${file}")
    get_filename_component(extension "${file}" LAST_EXT)
    string(SUBSTRING "${extension}" 1 -1 extension)
    if(DEFINED types_${extension})
        set(type "${types_${extension}}")
    else()
        set(type "application/octet-stream")
    endif()
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(APPEND arrays "const char file${index}[${size} + 1] = {${bytes}0};\n")
    string(APPEND entries "    {\"/${name}\", \"${type}\", std::string_view(file${index}, ${size})},\n")
    math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Generated from web/ at build time; do not edit.
#include \"app/web_assets.hpp\"

namespace murva {

namespace {

${arrays}
const WebAsset assets[] = {
${entries}};

} // namespace

std::span<const WebAsset> webAssets() { return assets; }

} // namespace murva
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
