// The common configuration layer kept in every socket object, and the code
// page layer that is asked last.
#include <cstdio>
#include <iterator>

#include "pelnet/runtime/core_base.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet {
namespace {

// Traffic types of the quality-of-service flow by name; other values are read as integers.
struct TrafficTypeName {
  const char *name;
  int32_t value;
};
constexpr TrafficTypeName kTrafficTypes[] = {
    {"BestEffort", 0}, {"Background", 1}, {"ExcellentEffort", 2},
    {"AudioVideo", 3}, {"Voice", 4},      {"Control", 5},
};

int32_t readTrafficType(const std::string &value) {
  for (const TrafficTypeName &t : kTrafficTypes)
    if (sameName(value, t.name)) return t.value;
  return readInt(value);
}

// One common setting: `assign` stores a value (nullptr: the setting is query
// only and an assignment is accepted and ignored), `query` answers it.
struct CommonSetting {
  const char *name;
  void (*assign)(SocketObject &, const std::string &value);
  std::string (*query)(const SocketObject &);
};

std::string decimal(int64_t v) { return std::to_string(v); }

constexpr CommonSetting kCommonSettings[] = {
    {"SelectWaitMillis",
     [](SocketObject &o, const std::string &v) {
       int32_t n = readInt(v);
       o.waitMillis = n < 0 ? 0 : static_cast<uint32_t>(n);
     },
     [](const SocketObject &o) { return decimal(o.waitMillis); }},
    {"AbsoluteTimeout",
     [](SocketObject &o, const std::string &v) { o.absoluteTimeout = readBool(v); },
     [](const SocketObject &o) { return std::string(boolText(o.absoluteTimeout)); }},
    {"TimeoutInMilliseconds",
     [](SocketObject &o, const std::string &v) {
       // The number stays, its unit changes: 60 seconds become 60 milliseconds.
       int32_t number = o.timeout();
       o.msFlag = readBool(v);
       o.setTimeout(number);
     },
     [](const SocketObject &o) { return std::string(o.msFlag ? "1" : "0"); }},
    {"WinsockStatus", nullptr,
     [](const SocketObject &) { return decimal(imageState().winsockStatus); }},
    {"WinsockVersion", nullptr,
     [](const SocketObject &) {
       int v = imageState().winsockVersion;
       char buf[24];
       std::snprintf(buf, sizeof buf, "%d.%d", v & 0xFF, (v >> 8) & 0xFF);
       return std::string(buf);
     }},
    {"IgnoreExternalEvents",
     [](SocketObject &o, const std::string &v) { o.ignoreExternalEvents = readBool(v); },
     [](const SocketObject &o) { return std::string(boolText(o.ignoreExternalEvents)); }},
    {"QOSTrafficType",
     [](SocketObject &o, const std::string &v) { o.qosTrafficType = readTrafficType(v); },
     [](const SocketObject &o) { return decimal(o.qosTrafficType); }},
    {"QOSDSCPValue", [](SocketObject &o, const std::string &v) { o.qosDscpValue = readInt(v); },
     [](const SocketObject &o) { return decimal(o.qosDscpValue); }},
    {"UseIPv6", [](SocketObject &o, const std::string &v) { o.useIPv6 = readBool(v); },
     [](const SocketObject &o) { return std::string(boolText(o.useIPv6)); }},
    {"KerberosSPN", [](SocketObject &o, const std::string &v) { o.kerberosSpn = v; },
     [](const SocketObject &o) { return o.kerberosSpn; }},
    {"UseSystemSSPI", [](SocketObject &o, const std::string &v) { o.useSystemSspi = readBool(v); },
     [](const SocketObject &o) { return std::string(boolText(o.useSystemSspi)); }},
    {"RecordToFile", [](SocketObject &o, const std::string &v) { o.recordToFile = v; },
     [](const SocketObject &o) { return o.recordToFile; }},
};

constexpr CommonSetting kCodePageSettings[] = {
    {"CodePage", [](SocketObject &o, const std::string &v) { o.codePage = readInt(v); },
     [](const SocketObject &o) { return decimal(o.codePage); }},
    {"CharsetMode",
     [](SocketObject &o, const std::string &v) {
       o.charsetMode = static_cast<uint8_t>(readInt(v));
     },
     [](const SocketObject &o) { return decimal(o.charsetMode); }},
};

template <size_t N>
ConfigResult lookup(const CommonSetting (&table)[N], SocketObject &o, const ParsedSetting &s,
                    std::string &answer) {
  for (const CommonSetting &c : table) {
    if (!sameName(s.name, c.name)) continue;
    if (s.query) {
      answer = c.query(o);
    } else {
      if (c.assign != nullptr) c.assign(o, s.value);
      answer.clear();
    }
    return 0;
  }
  return std::nullopt;
}

}  // namespace

ConfigResult SocketObject::configCommon(const ParsedSetting &s, std::string &answer) {
  return lookup(kCommonSettings, *this, s, answer);
}

ConfigResult SocketObject::configCodePage(const ParsedSetting &s, std::string &answer) {
  return lookup(kCodePageSettings, *this, s, answer);
}

ConfigResult SocketObject::configKind(const ParsedSetting &, std::string &) { return std::nullopt; }

}  // namespace pelnet
