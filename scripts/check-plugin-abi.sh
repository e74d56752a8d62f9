#!/usr/bin/env bash
# What a controller must provide for the plug-in to load, read off the binary:
# every undefined symbol of its dynamic symbol table, grouped by the library
# that provides it, and the highest GLIBC_ and GLIBCXX_/CXXABI_ versions it
# needs. Fails (exit 1, one line saying why) when
#   - a symbol the plug-in expects from the host framework is not one of the
#     operations of the host contract (host/*.h) - the real host would not
#     have it, and dlopen would fail on the controller;
#   - it names a host library (NEEDED) or carries a run path;
#   - it defines anything in its dynamic symbol table besides get_providers.
# Usage: scripts/check-plugin-abi.sh [PLUGIN]     (default build/libbattery32.so)
#   READELF, CXXFILT  tools to use (default: ${MIPSEL_TOOLCHAIN_PREFIX}readelf for
#                     a MIPS file when that exists, else readelf; c++filt)
set -euo pipefail

plugin=${1:-build/libbattery32.so}
fail() { echo "check-plugin-abi: $plugin: $*" >&2; exit 1; }
[[ -f "$plugin" ]] || fail "not found"

readelf=${READELF:-readelf}
if [[ -z "${READELF:-}" ]] && readelf -h "$plugin" | grep -Eq '^ *Machine: +MIPS'; then
  cross=${MIPSEL_TOOLCHAIN_PREFIX:-mipsel-linux-gnu-}readelf
  command -v "$cross" >/dev/null && readelf=$cross
fi
cxxfilt=${CXXFILT:-c++filt}

# The host framework's operations the plug-in may use: the members of the
# host's device classes, their type information and virtual tables, and
# get_ttime. Written as c++filt prints them, with std::string spelled short.
contract=$(cat <<'EOF'
get_ttime(boost::posix_time::ptime)
typeinfo for ZorVDevice
typeinfo for ZorSPDevice
vtable for ZorVDevice
vtable for ZorSPDevice
ZorVDevice::ZorVDevice()
ZorVDevice::~ZorVDevice()
ZorVDevice::Reset()
ZorVDevice::InitV(ZorVDevice*, unsigned int, Json::Value const&)
ZorVDevice::Init(std::weak_ptr<ZorController>, unsigned int, Json::Value const&)
ZorVDevice::InitSetting(Json::Value const&)
ZorVDevice::IsSupportDevice(std::string const&) const
ZorVDevice::GetChildVDevice(unsigned int)
ZorVDevice::GetAllChildVDevices()
ZorVDevice::SendSP(int, unsigned char const*, unsigned int, bool)
ZorVDevice::SendDelayData(int)
ZorVDevice::SendDoData(int, char)
ZorVDevice::ReadDi(int)
ZorVDevice::ReadAi(int)
ZorVDevice::Get_SP_Value(unsigned int, std::string const&)
ZorVDevice::CheckThreshold(std::string const&, std::string const&, float const&, int)
ZorVDevice::CheckAOReport(std::string const&, float)
ZorVDevice::DoBatchCheckThreshold(std::vector<rule_value> const&)
ZorVDevice::SaveDeviceHistory(unsigned char const*, unsigned int)
ZorSPDevice::ZorSPDevice()
ZorSPDevice::~ZorSPDevice()
ZorSPDevice::Reset()
ZorSPDevice::RefreshStatus()
ZorSPDevice::process(unsigned char*, unsigned int)
ZorSPDevice::IsProcessing() const
ZorSPDevice::IsStalled() const
ZorSPDevice::SendData(unsigned char const*, unsigned int)
ZorSPDevice::SendParityData(unsigned char const*, unsigned int, EnumParity)
ZorSPDevice::OpenPort()
ZorSPDevice::ClosePort()
EOF
)

dynamic=$("$readelf" -W -d "$plugin")
if grep -Eq '\((RPATH|RUNPATH)\)' <<<"$dynamic"; then
  fail "carries a run path: $(grep -E '\((RPATH|RUNPATH)\)' <<<"$dynamic" | sed 's/.*: //')"
fi
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
if grep -Eq 'zorhost' <<<"$needed"; then
  fail "names the stand-in host library as NEEDED (the host is already in the loading process)"
fi

syms=$("$readelf" -W --dyn-syms "$plugin")
defined=$(awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' <<<"$syms")
if [[ "$defined" != "get_providers" ]]; then
  fail "exports more than get_providers: $(wc -l <<<"$defined") symbols, e.g. $(grep -vx get_providers <<<"$defined" | head -3 | paste -sd' ')"
fi

# Version index -> providing file, from the version-needs section.
versions=$("$readelf" -W -V "$plugin" | awk '
  /File:/ { for (i = 1; i <= NF; ++i) if ($i == "File:") file = $(i + 1) }
  /Name:/ { for (i = 1; i <= NF; ++i) { if ($i == "Name:") name = $(i + 1); if ($i == "Version:") idx = $(i + 1) }
            print idx, file, name }')

# One line per undefined symbol: provider<TAB>mangled name<TAB>symbol version.
report=$(awk -v versions="$versions" '
  BEGIN { n = split(versions, lines, "\n")
          for (i = 1; i <= n; ++i) { split(lines[i], f, " "); file_of[f[1]] = f[2]; version_of[f[1]] = f[3] } }
  $1 ~ /^[0-9]+:$/ && $7 == "UND" && $8 != "" {
    name = $8; idx = ""
    if ($9 ~ /^\([0-9]+\)$/) { idx = substr($9, 2, length($9) - 2) }
    sub(/@.*/, "", name)
    if (idx != "" && idx in file_of) provider = file_of[idx]
    else if ($5 == "WEAK") provider = "weak-optional"
    else if (name ~ /^_ZN?K?4Json/) provider = "jsoncpp"
    else provider = "host"
    print provider "\t" name "\t" (idx in version_of ? version_of[idx] : "")
  }' <<<"$syms")

demangle() {
  "$cxxfilt" | sed -e 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' \
                   -e 's/\[abi:cxx11\]//g' \
                   -e 's/std::vector<rule_value, std::allocator<rule_value> >/std::vector<rule_value>/g'
}

echo "plug-in $plugin: undefined symbols by provider"
bad=()
for provider in host jsoncpp $(cut -f1 <<<"$report" | grep -vx -e host -e jsoncpp | sort -u); do
  names=$(awk -F'\t' -v p="$provider" '$1 == p { print $2 }' <<<"$report" | demangle | sort -u)
  [[ -n "$names" ]] || continue
  echo "  $provider: $(wc -l <<<"$names")"
  if [[ "$provider" == host ]]; then
    while IFS= read -r name; do
      if grep -Fxq -- "$name" <<<"$contract"; then
        echo "    $name"
      else
        echo "    $name   <- not an operation of the host contract"
        bad+=("$name")
      fi
    done <<<"$names"
  fi
done

highest() { grep -Eo "^$1[0-9.]+" | sort -V | tail -1; }
# The floor a controller's runtime must reach, and the symbols that set it.
floor() {
  local top
  top=$(awk '{ print $3 }' <<<"$versions" | highest "$1")
  [[ -n "$top" ]] || return 0
  local users
  users=$(awk -F'\t' -v v="$top" '$3 == v { print $2 }' <<<"$report" | demangle | sort -u)
  echo "  needs $top, for: $(head -2 <<<"$users" | paste -sd';' | sed 's/;/; /g')$(
    [[ $(wc -l <<<"$users") -gt 2 ]] && echo " and $(($(wc -l <<<"$users") - 2)) more")"
}
floor GLIBC_
floor GLIBCXX_
floor CXXABI_
echo "  NEEDED: $(tr '\n' ' ' <<<"$needed")"

if [[ ${#bad[@]} -gt 0 ]]; then
  fail "${#bad[@]} host symbol(s) outside the host contract, first: ${bad[0]}"
fi
