# Copies a UTF-8 text file as Windows text: CRLF line ends and, unless -DBOM=OFF, a byte order
# mark (Notepad wants one; cmd reads a batch file's first bytes as a command, so scripts have none).
#   cmake -DIN=in.md -DOUT=out.txt [-DBOM=OFF] -P windows_text.cmake
cmake_minimum_required(VERSION 3.25)
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
set(bom "")
if(NOT DEFINED BOM OR BOM)
  string(ASCII 239 187 191 bom)
endif()
file(WRITE ${OUT} "${bom}${text}")
