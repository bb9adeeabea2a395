# cmake -DPAGE=page.1 -DOUT=page.txt -P man_to_text.cmake: the man page as plain text (mandoc,
# without its overstrike for bold and underline); or -DIN=file -DOUT=...: a text file as it is.
# Either way with CR LF line ends, for Windows.
if(DEFINED PAGE)
  find_program(MANDOC mandoc REQUIRED)
  execute_process(COMMAND ${MANDOC} -T ascii ${PAGE} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "mandoc failed on ${PAGE}")
  endif()
  string(ASCII 8 backspace)
  string(REGEX REPLACE "[^\n]${backspace}" "" text "${text}")
else()
  file(READ ${IN} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
