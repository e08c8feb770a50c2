# Fails when a status line of the daemon (a kLine* text in the constants
# header) does not appear in its manual page, so that a new line cannot ship
# unexplained.
#
#   cmake -DHEADER=src/tarvex_constants.hpp -DMAN=packaging/tarvexd.8 -P packaging/check-man.cmake

file(READ "${HEADER}" header)
file(READ "${MAN}" man)
# Lines such as "...; keeping it" would otherwise split CMake's lists.
string(REPLACE ";" "<semicolon>" header "${header}")
string(REPLACE ";" "<semicolon>" man "${man}")
# roff writes a plain hyphen as \-.
string(REPLACE "\\-" "-" man "${man}")

string(REGEX MATCHALL "constexpr const char\\* kLine[A-Za-z]+ =[ \n]*\"[^\"]*\"" decls "${header}")
list(LENGTH decls count)
if(count EQUAL 0)
  message(FATAL_ERROR "no status lines (kLine...) found in ${HEADER}")
endif()
set(missing "")
foreach(decl IN LISTS decls)
  string(REGEX REPLACE "^.*(kLine[A-Za-z]+).*\"([^\"]*)\"$" "\\1: \"\\2\"" line "${decl}")
  string(REGEX REPLACE "^.*\"([^\"]*)\"$" "\\1" text "${decl}")
  string(FIND "${man}" "${text}" at)
  if(at EQUAL -1)
    string(REPLACE "<semicolon>" ";" line "${line}")
    string(APPEND missing "\n  ${line}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "${MAN} does not explain these status lines of ${HEADER}:${missing}")
endif()
message(STATUS "${MAN} explains all ${count} status lines")
