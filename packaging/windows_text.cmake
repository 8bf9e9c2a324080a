# Copies a UTF-8 text file as Windows text: a byte order mark and CRLF line ends.
#   cmake -DIN=in.md -DOUT=out.txt -P windows_text.cmake
cmake_minimum_required(VERSION 3.25)
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 bom)
file(WRITE ${OUT} "${bom}${text}")
