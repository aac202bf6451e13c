# Copies the text file SOURCE to COPY with CRLF line ends, which Notepad needs before
# Windows 10 1809 to show the lines apart.
file(READ ${SOURCE} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${COPY} "${text}")
