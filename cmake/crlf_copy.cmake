# Copies the text file SOURCE to COPY with CRLF line ends, which Notepad needs before
# Windows 10 1809 to show the lines apart; with BYTE_ORDER_MARK on, behind the UTF-8
# byte-order mark, without which older Notepads read the text in the local code page.
file(READ ${SOURCE} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
if(BYTE_ORDER_MARK)
    string(ASCII 239 187 191 mark)
    string(PREPEND text "${mark}")
endif()
file(WRITE ${COPY} "${text}")
