# Which outputs battery32-run can have, for tools/ and its tests alike:
# the web view needs libmicrohttpd (BATTERY32_WEB_VIEW), publishing to an MQTT
# broker needs libmosquitto (BATTERY32_HAVE_MQTT). The 32-bit MIPS cross
# sysroot carries neither; that build's runner says so when asked for them.
# Included where needed; the find results are cached, so only the first looks.
find_path(MICROHTTPD_INCLUDE_DIR microhttpd.h)
find_library(MICROHTTPD_LIBRARY NAMES microhttpd)
find_path(MOSQUITTO_INCLUDE_DIR mosquitto.h)
find_library(MOSQUITTO_LIBRARY mosquitto)
if(MICROHTTPD_INCLUDE_DIR AND MICROHTTPD_LIBRARY)
  set(BATTERY32_WEB_VIEW ON)
else()
  set(BATTERY32_WEB_VIEW OFF)
endif()
if(MOSQUITTO_INCLUDE_DIR AND MOSQUITTO_LIBRARY)
  set(BATTERY32_HAVE_MQTT ON)
else()
  set(BATTERY32_HAVE_MQTT OFF)
endif()
