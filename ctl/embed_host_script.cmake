# Turns ctl/host_script.js into a header holding the part of the script that follows the host
# list, as a raw string literal. Run as: cmake -DINPUT=<js> -DOUTPUT=<header> -P <this file>
file(READ "${INPUT}" script)
string(REPLACE "\r\n" "\n" script "${script}")

set(marker "(function () {\n  var hosts = []")
string(FIND "${script}" "${marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${INPUT}: the script must contain \"(function () {\" followed by a line \"  var hosts = []\"")
endif()
string(LENGTH "${marker}" marker_length)
math(EXPR rest_start "${at} + ${marker_length}")
string(SUBSTRING "${script}" ${rest_start} -1 rest)
if(NOT rest MATCHES "^;\n")
  message(FATAL_ERROR "${INPUT}: \"var hosts = []\" must end its line with \";\"")
endif()

set(delimiter "ostrel_js")
string(FIND "${rest}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT}: the script contains the literal's delimiter \")${delimiter}\"")
endif()

set(header "// Generated from ctl/host_script.js at build time; edit that file instead.\n")
string(APPEND header "#pragma once\n\nnamespace ostrel::ctl::generated {\n")
string(APPEND header "// The host script after its host list: begins with \";\" and a line break.\n")
string(APPEND header "inline constexpr const char kHostScriptRest[] = R\"${delimiter}(${rest})${delimiter}\";\n")
string(APPEND header "}  // namespace ostrel::ctl::generated\n")

file(WRITE "${OUTPUT}" "${header}")
