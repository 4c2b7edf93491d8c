# cmake -DSUBSYSTEM=name -DUSES=a,b -DLAYERS=a,b,c -DFOLDER=dir -DSTAMP=file -P check-includes.cmake
#
# Fails when a file in FOLDER includes a header of a subsystem (one of
# LAYERS) other than SUBSYSTEM itself and those in USES, or reaches out of
# its folder with "..". Angle brackets count as well as quotes, and so do
# lines inside comments or #if blocks: every build reads the same answer,
# whichever system it compiles for. Touches STAMP when all is well.
cmake_minimum_required(VERSION 3.25)

string(REPLACE "," ";" layers "${LAYERS}")
string(REPLACE "," ";" uses "${USES}")
if(uses)
  string(REPLACE "," ", " allowedText "${USES}")
else()
  set(allowedText "no other subsystem")
endif()

file(GLOB files ${FOLDER}/*.h ${FOLDER}/*.cpp)
set(violations 0)
foreach(file IN LISTS files)
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"]")
      continue()
    endif()
    set(header ${CMAKE_MATCH_1})
    set(reason "")
    if(header MATCHES "\\.\\.")
      set(reason "reaches out of its folder")
    elseif(header MATCHES "^([^/]+)/")
      set(named ${CMAKE_MATCH_1})
      if(named IN_LIST layers AND NOT named STREQUAL SUBSYSTEM AND NOT named IN_LIST uses)
        set(reason "belongs to ${named}, but ${SUBSYSTEM} may use only: ${allowedText}")
      endif()
    endif()
    if(reason)
      message("${file}: ${line}\n  ${reason}")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "${SUBSYSTEM}: ${violations} include(s) against the layering")
endif()
file(TOUCH ${STAMP})
