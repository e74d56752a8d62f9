#pragma once

#include <json/value.h>

namespace settings_json {

// A settings key counts as given when it exists and is not JSON null. (The
// constant subscript yields null for a missing key and never adds it.)
inline bool IsPresent(const Json::Value& value) { return !value.isNull(); }

}  // namespace settings_json
