# The configuration the README shows is the built-in config/kestrad.xml: the
# README's first ```xml block must equal the file (trailing newlines aside).
#   cmake -DREADME=README.md -DCONFIG=config/kestrad.xml -P ReadmeConfig.cmake
file(READ "${README}" readme)
file(READ "${CONFIG}" config)
set(open "```xml\n")
string(FIND "${readme}" "${open}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${README} has no xml block")
endif()
string(LENGTH "${open}" openLength)
math(EXPR start "${start} + ${openLength}")
string(SUBSTRING "${readme}" ${start} -1 rest)
string(FIND "${rest}" "\n```" end)
if(end EQUAL -1)
  message(FATAL_ERROR "${README}: the xml block does not end")
endif()
string(SUBSTRING "${rest}" 0 ${end} shown)
string(REGEX REPLACE "\n+$" "" config "${config}")
if(NOT shown STREQUAL config)
  message(FATAL_ERROR "the configuration in ${README} differs from ${CONFIG}; "
                      "copy the file into the README's xml block")
endif()
