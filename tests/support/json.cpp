// Recursive descent over the JSON grammar, refusing everything the grammar does not allow.
#include "support/json.h"

#include <cstdlib>

namespace uq::test {

namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  std::optional<Json> document(std::string* error) {
    std::optional<Json> v = value(0);
    skip_space();
    if (v && at_ != s_.size()) fail("text after the value");
    if (!error_.empty()) {
      *error = error_ + " at byte " + std::to_string(at_);
      return std::nullopt;
    }
    return v;
  }

 private:
  void fail(const std::string& what) {
    if (error_.empty()) error_ = what;
  }
  void skip_space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
  }
  bool take(char c) {
    skip_space();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool literal(const char* word) {
    std::string w = word;
    if (s_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }

  std::optional<Json> value(int depth) {
    if (depth > 64) {
      fail("nested too deep");
      return std::nullopt;
    }
    skip_space();
    if (at_ >= s_.size()) {
      fail("a value expected");
      return std::nullopt;
    }
    Json v;
    const char c = s_[at_];
    if (c == '{') {
      ++at_;
      v.kind = Json::Kind::object;
      if (take('}')) return v;
      do {
        skip_space();
        std::optional<std::string> key = string();
        if (!key || !take(':')) {
          fail("an object member expected");
          return std::nullopt;
        }
        std::optional<Json> member = value(depth + 1);
        if (!member) return std::nullopt;
        if (!v.members.emplace(*key, *member).second) {
          fail("a repeated member \"" + *key + "\"");
          return std::nullopt;
        }
      } while (take(','));
      if (!take('}')) fail("',' or '}' expected");
    } else if (c == '[') {
      ++at_;
      v.kind = Json::Kind::array;
      if (take(']')) return v;
      do {
        std::optional<Json> item = value(depth + 1);
        if (!item) return std::nullopt;
        v.items.push_back(*item);
      } while (take(','));
      if (!take(']')) fail("',' or ']' expected");
    } else if (c == '"') {
      std::optional<std::string> text = string();
      if (!text) return std::nullopt;
      v.kind = Json::Kind::string;
      v.text = *text;
    } else if (literal("true") || literal("false")) {
      v.kind = Json::Kind::boolean;
      v.boolean = c == 't';
    } else if (literal("null")) {
      v.kind = Json::Kind::null;
    } else if (!number(v)) {
      fail("a value expected");
    }
    if (!error_.empty()) return std::nullopt;
    return v;
  }

  bool digits() {
    const std::size_t from = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > from;
  }

  // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  bool number(Json& v) {
    const std::size_t from = at_;
    if (at_ < s_.size() && s_[at_] == '-') ++at_;
    if (at_ < s_.size() && s_[at_] == '0') {
      ++at_;
    } else if (!digits()) {
      at_ = from;
      return false;
    }
    if (at_ < s_.size() && s_[at_] == '.') {
      ++at_;
      if (!digits()) return false;
    }
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (!digits()) return false;
    }
    v.kind = Json::Kind::number;
    v.text = s_.substr(from, at_ - from);
    v.number = std::strtod(v.text.c_str(), nullptr);
    return true;
  }

  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::optional<unsigned> hex4() {
    if (at_ + 4 > s_.size()) return std::nullopt;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[at_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return std::nullopt;
    }
    return v;
  }

  std::optional<std::string> string() {
    if (at_ >= s_.size() || s_[at_] != '"') {
      fail("a string expected");
      return std::nullopt;
    }
    ++at_;
    std::string out;
    while (at_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return out;
      if (c < 0x20) {
        fail("a control character inside a string");
        return std::nullopt;
      }
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_ >= s_.size()) break;
      const char e = s_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::optional<unsigned> cp = hex4();
          if (!cp) {
            fail("a bad \\u escape");
            return std::nullopt;
          }
          if (*cp >= 0xD800 && *cp <= 0xDBFF) {  // a surrogate pair
            std::optional<unsigned> low;
            if (!literal("\\u") || !(low = hex4()) || *low < 0xDC00 || *low > 0xDFFF) {
              fail("a lone surrogate");
              return std::nullopt;
            }
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
            fail("a lone surrogate");
            return std::nullopt;
          }
          append_utf8(out, *cp);
          break;
        }
        default: fail("a bad escape"); return std::nullopt;
      }
    }
    fail("an unterminated string");
    return std::nullopt;
  }

  const std::string& s_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace

const Json& Json::operator[](const std::string& name) const {
  static const Json kNull;
  auto it = members.find(name);
  return it == members.end() ? kNull : it->second;
}

std::optional<Json> parse_json(const std::string& text, std::string* error) { return Reader(text).document(error); }

}  // namespace uq::test
