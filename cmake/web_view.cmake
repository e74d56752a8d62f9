# Whether the runner gets its web view: libmicrohttpd must be there for the
# target (the 32-bit MIPS cross sysroot does not carry it).
find_path(MICROHTTPD_INCLUDE_DIR microhttpd.h)
find_library(MICROHTTPD_LIBRARY NAMES microhttpd)
if(MICROHTTPD_INCLUDE_DIR AND MICROHTTPD_LIBRARY)
  set(BATTERY32_WEB_VIEW ON)
else()
  set(BATTERY32_WEB_VIEW OFF)
endif()
