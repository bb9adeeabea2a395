// A strict JSON reader for tests of --json output: RFC 8259 and nothing more (no trailing commas,
// no comments, no bare control characters, escapes checked), so that what passes here parses in
// any script language.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace uq::test {

struct Json {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's value, or a number as written
  std::vector<Json> items;
  std::map<std::string, Json> members;

  // The member `name` of an object (a test failure when absent shows as a null).
  const Json& operator[](const std::string& name) const;
};

// The value of `text`, or none with *error saying where it broke.
std::optional<Json> parse_json(const std::string& text, std::string* error);

}  // namespace uq::test
