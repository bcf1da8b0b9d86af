// How the tools fail: the reason goes to *why (when the caller asks for one)
// and the call returns false.
#pragma once

#include <string>

inline bool Fail(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}
