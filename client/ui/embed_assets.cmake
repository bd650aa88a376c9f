# cmake -DOUT=FILE -DASSETS="PATH|TYPE|FILE;..." -P embed_assets.cmake: writes a C++ file with
# the bytes of every FILE, served at PATH as TYPE in UTF-8 (see assets.h).
set(code "// Made by client/ui/embed_assets.cmake from client/ui/assets: do not edit.\n")
string(APPEND code "#include \"client/ui/assets.h\"\n\nnamespace dssetup::ui {\n\nnamespace {\n\n")
set(table "")
set(n 0)
foreach(asset ${ASSETS})
    string(REPLACE "|" ";" parts "${asset}")
    list(GET parts 0 path)
    list(GET parts 1 type)
    list(GET parts 2 file)
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(APPEND code "const char kFile${n}[${size}] = {\n    ${bytes}\n};\n\n")
    string(APPEND table "    {\"${path}\", \"${type}; charset=utf-8\", {kFile${n}, sizeof kFile${n}}},\n")
    math(EXPR n "${n} + 1")
endforeach()
string(APPEND code "const Asset kAssets[] = {\n${table}};\n\n}  // namespace\n\n")
string(APPEND code "const Asset *FindAsset(std::string_view path) {\n"
                   "    for (const Asset &a : kAssets) {\n"
                   "        if (a.path == path) {\n"
                   "            return &a;\n"
                   "        }\n"
                   "    }\n"
                   "    return nullptr;\n"
                   "}\n\n}  // namespace dssetup::ui\n")
# Written only when it changes, so that an unchanged page rebuilds nothing.
if(EXISTS "${OUT}")
    file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${code}")
    file(WRITE "${OUT}" "${code}")
endif()
