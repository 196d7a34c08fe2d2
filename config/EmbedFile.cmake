# Writes a C++ source that defines g_builtinXml and g_builtinXmlSize with the
# exact bytes of INPUT (no terminating NUL). Run as: cmake -DINPUT=... -DOUTPUT=... -P EmbedFile.cmake
if(NOT DEFINED INPUT OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "EmbedFile.cmake needs -DINPUT=<file> -DOUTPUT=<source>")
endif()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")

set(body "")
set(offset 0)
while(offset LESS hexLength)
  # 16 bytes per line.
  string(SUBSTRING "${hex}" ${offset} 32 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " chunk "${chunk}")
  string(STRIP "${chunk}" chunk)
  string(APPEND body "    ${chunk}\n")
  math(EXPR offset "${offset} + 32")
endwhile()
if(size EQUAL 0)
  # A C++ array cannot be empty; the size below still says 0.
  set(body "    0\n")
endif()

get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${name}; edit that file, not this one.\n"
  "#include \"config/Description.h\"\n\n"
  "const unsigned char g_builtinXml[] = {\n${body}};\n\n"
  "const unsigned int g_builtinXmlSize = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
