#pragma once
// What a device's settings hold that the device will not read as meant. The
// device reads leniently and says nothing (a key it does not know is passed
// over, a value without a number reads as 0), so the site check says it:
// one warning per key the device and the runner do not read, naming the key
// most likely meant, and one per value the device would read as 0 for want
// of a number.

#include <json/value.h>

#include <string>
#include <vector>

namespace runner::site {

// `settings` is a device's "settings" object, `where` names it
// ("site.json: devices[0].settings"); warnings are appended to `warnings`.
void CheckDeviceSettings(const Json::Value& settings, const std::string& where,
                         std::vector<std::string>* warnings);

}  // namespace runner::site
