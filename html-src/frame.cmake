# Builds one page template from the shared frame and the page's own body:
#
#   cmake -DFRAME=frame.html -DBODY=pages/NAME.html -DOUT=html/NAME.html
#         -DTITLE=KEY -DPARTS=HEAD;FOOT[;NO_WHO] -DSHARED=shared -P frame.cmake
#
# A body line "@@INCLUDE NAME@@" is replaced by SHARED/NAME.html: a form or
# fieldset that several pages show alike (the main page repeats the forms
# of the add and delete pages) is written once.
# The frame is the head and navigation, a line "@@BODY@@" where the body
# goes, and the foot. "@@TITLE@@" in the head becomes the page's title
# key; a line starting with "@@WHO@@" (who is signed in) stays, without
# the marker, unless the page asks NO_WHO (a page printed before anyone is
# known). PARTS names which of head and foot the page takes: the control
# file list is printed in three pieces, the first with the head only and
# the last with the foot only. The result is a plain template, byte for byte
# what a site would write by hand.
cmake_minimum_required(VERSION 3.20)
foreach(required FRAME BODY OUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "frame.cmake: ${required} is not set")
  endif()
endforeach()
file(READ "${FRAME}" frame)
file(READ "${BODY}" body)
string(REGEX MATCHALL "@@INCLUDE [a-z_]+@@\n" includes "${body}")
foreach(include ${includes})
  string(REGEX REPLACE "@@INCLUDE ([a-z_]+)@@\n" "\\1" piece "${include}")
  file(READ "${SHARED}/${piece}.html" text)
  string(REPLACE "${include}" "${text}" body "${body}")
endforeach()
string(FIND "${frame}" "\n@@BODY@@\n" at)
if(at LESS 0)
  message(FATAL_ERROR "frame.cmake: ${FRAME} has no line @@BODY@@")
endif()
math(EXPR head_length "${at} + 1")
math(EXPR foot_start "${at} + 10")
string(SUBSTRING "${frame}" 0 ${head_length} head)
string(SUBSTRING "${frame}" ${foot_start} -1 foot)
string(REPLACE "@@TITLE@@" "${TITLE}" head "${head}")
if("NO_WHO" IN_LIST PARTS)
  string(REGEX REPLACE "\n@@WHO@@[^\n]*" "" head "${head}")
else()
  string(REPLACE "\n@@WHO@@" "\n" head "${head}")
endif()
set(page "")
if("HEAD" IN_LIST PARTS)
  string(APPEND page "${head}")
endif()
string(APPEND page "${body}")
if("FOOT" IN_LIST PARTS)
  string(APPEND page "${foot}")
endif()
file(WRITE "${OUT}" "${page}")
