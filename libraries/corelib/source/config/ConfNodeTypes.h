// The configuration type codes shared by the node tree, the store's query protocol and the
// configuration agent, and the names that messages use for them. Node types are 0 to 13; 14 and
// 15 are store write requests; 16 to 21 are answered by the system-information service.
// Constants and a pure function; safe from any thread.
#pragma once

namespace ZelcorCorelib {

enum ConfType : int {
  kConfNone = 0,
  kConfBool = 1,
  kConfInt = 2,
  kConfUInt = 3,
  kConfFloat = 4,
  kConfString = 5,
  kConfDateTime = 6,
  kConfTimeOfDay = 7,
  kConfTimeZone = 8,
  kConfTimeSpan = 9,
  kConfDir = 10,
  kConfFile = 11,
  kConfList = 12,
  kConfSubEntries = 13,
  kConfCreateEntry = 14,
  kConfRemoveEntry = 15,
  kConfSystemString = 16,
  kConfLocalInt = 17,
  kConfLocalUInt = 18,
  kConfLocalFloat = 19,
  kConfLocalString = 20,
  kConfLocalSet = 21,
};

// "undefined" for every code without a name, the write requests 14 and 15 included.
inline const char* confTypeName(int type) {
  switch (type) {
    case kConfNone:
      return "none";
    case kConfBool:
      return "bool";
    case kConfInt:
      return "int";
    case kConfUInt:
      return "uint";
    case kConfFloat:
      return "float";
    case kConfString:
      return "string";
    case kConfDateTime:
      return "datetime";
    case kConfTimeOfDay:
      return "time-of-day";
    case kConfTimeZone:
      return "timezone";
    case kConfTimeSpan:
      return "timespan";
    case kConfDir:
      return "dir";
    case kConfFile:
      return "file";
    case kConfList:
      return "list";
    case kConfSubEntries:
      return "sub-entries";
    case kConfSystemString:
      return "system string";
    case kConfLocalInt:
      return "local int";
    case kConfLocalUInt:
      return "local uint";
    case kConfLocalFloat:
      return "local float";
    case kConfLocalString:
      return "local string";
    case kConfLocalSet:
      return "local set";
    default:
      return "undefined";
  }
}

}  // namespace ZelcorCorelib
