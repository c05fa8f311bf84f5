# Turns the page into a C++ source at build time:
#   cmake -DPAGE=matrix.html -DOUTPUT=page_asset.cpp -P embed_page.cmake
file(READ "${PAGE}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
# Break the initializer into lines of 16 bytes.
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${PAGE} by embed_page.cmake; do not edit.\n"
  "#include <string>\n\n#include \"view/page.h\"\n\n"
  "namespace {\nconst char page_bytes[] = {\n${bytes}'\\0'};\n}  // namespace\n\n"
  "const std::string& view::page_template() {\n"
  "    static const std::string page(page_bytes, ${size});\n"
  "    return page;\n}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
