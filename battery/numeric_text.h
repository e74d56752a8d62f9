#pragma once
// Settings values are read through their text and converted the way the C
// library's atoi, atol and atof read text: leading white space skipped, an
// optional sign, the longest numeric prefix, 0 when there is none. Unlike those
// routines these never have undefined behaviour: a number beyond the result
// type saturates at the type's limit.

#include <cstdint>
#include <string>

namespace numeric_text {

// The longest "active_batteries" or "group_voltage" array a device reads; a
// longer one is ignored whole. Shared with the runner's site check, which
// must see the partners the device will see.
inline constexpr unsigned kMaxSettingsArrayElements = 65535;

// atoi: decimal integer, saturated to the 32-bit int range.
int ToInt(const std::string& text);

// atol: decimal integer, saturated to the 64-bit range. (On the 32-bit target
// `long` is 32 bits wide; reading into 64 bits gives the same result wherever
// atol is defined there and keeps data ids above 2^31 usable.)
std::int64_t ToLong(const std::string& text);

// atof: everything strtod accepts (decimal, hexadecimal, inf, nan).
double ToDouble(const std::string& text);

// atof narrowed to float: finite values beyond the float range saturate at
// +-FLT_MAX; infinities and NaN carry over.
float ToFloat(const std::string& text);

// atof truncated toward zero to int: saturated to the int range, NaN gives 0.
int ToIntTruncated(const std::string& text);

// A partner's data id as a "group_voltage" entry names it: atol, held within
// INT32_MIN..UINT32_MAX, then taken as unsigned 32-bit. A negative id wraps
// ("-1" names 4294967295); an id past 4294967295 saturates there instead of
// wrapping onto the id of some other device. (A single
// "r_data_id" is read with atoi instead.) The runner checks site files with
// this same rule, so its poll order agrees with the device's partners.
std::uint32_t ToPartnerId(const std::string& text);

}  // namespace numeric_text
