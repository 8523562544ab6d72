# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DNAME=<identifier> -DNAMESPACE=<ns> -P EmbedBytes.cmake
# Writes a C++ source defining `extern const std::string_view NAME` with the bytes of INPUT.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(LENGTH "${hex}" hex_length)
math(EXPR length "${hex_length} / 2")
file(WRITE ${OUTPUT} "// Made at build time from ${INPUT}.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\n"
     "namespace {\nconst char kBytes[] = {${bytes}};\n}  // namespace\n"
     "extern const std::string_view ${NAME};\nconst std::string_view ${NAME}(kBytes, ${length});\n}  // namespace ${NAMESPACE}\n")
