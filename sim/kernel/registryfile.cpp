// The registry's text file: one "[key path]" line per key followed by its
// values, one per line:
//   "Name"=dword:0000000a      "Name"=sz:"text"         "Name"=expand_sz:"text"
//   "Name"=multi_sz:"a","b"    "Name"=hex:01,02,ff      "Name"=hex(7):61,00,00,00
// "@" names the default value. In strings, \\ \" and \uXXXX escape. Lines
// starting with ';' and blank lines are ignored; any other line that does not
// parse is reported with its number.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/kernel/registry.h"
#include "sim/kernel/ustring.h"

namespace sim {

namespace {

std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  for (char16_t c : text) {
    if (c == u'"' || c == u'\\') {
      out += '\\';
      out += (char)c;
    } else if (c >= 32 && c < 127) {
      out += (char)c;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", (unsigned)c);
      out += escape;
    }
  }
  return out + "\"";
}

std::vector<std::u16string> SplitMultiString(const RegistryValue& value) {
  std::u16string all(value.data.size() / 2, u'\0');
  std::memcpy(all.data(), value.data.data(), all.size() * 2);
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(u'\0', start);
    if (end == std::u16string::npos) end = all.size();
    if (end == start) break;  // the terminating empty string
    parts.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string FormatValue(const RegistryValue& value) {
  char text[32];
  if (auto dword = value.AsDword()) {
    std::snprintf(text, sizeof text, "dword:%08x", *dword);
    return text;
  }
  if (auto string = value.AsString(); string && value.data.size() == (string->size() + 1) * 2)
    return (value.type == REG_SZ ? "sz:" : "expand_sz:") + Quote(*string);
  if (value.type == REG_MULTI_SZ) {
    std::string out = "multi_sz:";
    auto parts = SplitMultiString(value);
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "," : "") + Quote(parts[i]);
    return out;
  }
  std::string out = value.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(value.type) + "):";
  for (size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(text, sizeof text, "%s%02x", i ? "," : "", value.data[i]);
    out += text;
  }
  return out;
}

// A small cursor over one line of the file.
class LineParser {
 public:
  explicit LineParser(const std::string& line) : line_(line) {}
  bool AtEnd() { SkipBlanks(); return pos_ >= line_.size(); }
  bool Take(char c) {
    SkipBlanks();
    if (pos_ < line_.size() && line_[pos_] == c) return ++pos_, true;
    return false;
  }
  bool TakeWord(const std::string& word) {
    SkipBlanks();
    if (line_.compare(pos_, word.size(), word) != 0) return false;
    pos_ += word.size();
    return true;
  }
  bool QuotedString(std::u16string* out, std::string* error) {
    if (!Take('"')) return *error = "expected a quoted string", false;
    out->clear();
    while (pos_ < line_.size() && line_[pos_] != '"') {
      char c = line_[pos_++];
      if (c != '\\') {
        *out += (char16_t)(unsigned char)c;
        continue;
      }
      if (pos_ >= line_.size()) break;
      char escaped = line_[pos_++];
      if (escaped == '\\' || escaped == '"') {
        *out += (char16_t)escaped;
      } else if (escaped == 'u' && pos_ + 4 <= line_.size()) {
        unsigned code = 0;
        if (std::sscanf(line_.substr(pos_, 4).c_str(), "%4x", &code) != 1) return *error = "bad \\u escape", false;
        *out += (char16_t)code;
        pos_ += 4;
      } else {
        return *error = std::string("unknown escape \\") + escaped, false;
      }
    }
    if (pos_ >= line_.size()) return *error = "unterminated string", false;
    ++pos_;
    return true;
  }
  bool HexBytes(std::vector<uint8_t>* out, std::string* error) {
    out->clear();
    if (AtEnd()) return true;
    do {
      SkipBlanks();
      unsigned byte = 0;
      int used = 0;
      if (std::sscanf(line_.c_str() + pos_, "%2x%n", &byte, &used) != 1 || used != 2)
        return *error = "expected two hex digits per byte", false;
      pos_ += 2;
      out->push_back((uint8_t)byte);
    } while (Take(','));
    return true;
  }
  bool Number(unsigned long* out, int base, std::string* error) {
    SkipBlanks();
    char* end = nullptr;
    const char* start = line_.c_str() + pos_;
    *out = std::strtoul(start, &end, base);
    if (end == start) return *error = "expected a number", false;
    pos_ += end - start;
    return true;
  }
  std::string Rest() const { return line_.substr(pos_); }

 private:
  void SkipBlanks() {
    while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
  }
  const std::string& line_;
  size_t pos_ = 0;
};

bool ParseValueData(LineParser& parser, RegistryValue* value, std::string* error) {
  unsigned long number = 0;
  std::u16string text;
  if (parser.TakeWord("dword:")) {
    if (!parser.Number(&number, 16, error)) return false;
    if (number > 0xFFFFFFFFul) return *error = "dword out of range", false;
    *value = RegistryValue::Dword((ULONG)number);
  } else if (bool expand = parser.TakeWord("expand_sz:"); expand || parser.TakeWord("sz:")) {
    if (!parser.QuotedString(&text, error)) return false;
    *value = RegistryValue::String(text);
    if (expand) value->type = REG_EXPAND_SZ;
  } else if (parser.TakeWord("multi_sz:")) {
    std::u16string all;
    do {
      if (!parser.QuotedString(&text, error)) return false;
      all += text + u'\0';
    } while (parser.Take(','));
    all += u'\0';
    value->type = REG_MULTI_SZ;
    value->data.assign((const uint8_t*)all.data(), (const uint8_t*)all.data() + all.size() * 2);
  } else if (parser.TakeWord("hex(")) {
    if (!parser.Number(&number, 10, error) || !parser.Take(')') || !parser.Take(':'))
      return *error = "expected hex(<type>):", false;
    value->type = (ULONG)number;
    if (!parser.HexBytes(&value->data, error)) return false;
  } else if (parser.TakeWord("hex:")) {
    value->type = REG_BINARY;
    if (!parser.HexBytes(&value->data, error)) return false;
  } else {
    return *error = "unknown value type (dword:, sz:, expand_sz:, multi_sz:, hex:, hex(n):)", false;
  }
  if (!parser.AtEnd()) return *error = "unexpected text after the value: " + parser.Rest(), false;
  return true;
}

}  // namespace

std::string Registry::ToText() const {
  std::string out = "; Registry of a simulated machine: [key] lines, then \"name\"=type:data lines.\n";
  Visit([&](const std::u16string& path, const std::vector<std::pair<std::u16string, RegistryValue>>& values) {
    out += "\n[" + Narrow(path) + "]\n";
    for (auto& [name, value] : values) out += (name.empty() ? std::string("@") : Quote(name)) + "=" + FormatValue(value) + "\n";
  });
  return out;
}

bool Registry::FromText(const std::string& text, std::vector<std::string>* errors) {
  std::istringstream input(text);
  std::string line;
  std::u16string currentKey;
  bool ok = true;
  for (int number = 1; std::getline(input, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto report = [&](const std::string& why) {
      ok = false;
      if (errors) errors->push_back("line " + std::to_string(number) + ": " + why + ": " + line);
    };
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';') continue;
    if (line[first] == '[') {
      size_t close = line.rfind(']');
      if (close == std::string::npos || close < first || line.find_first_not_of(" \t", close + 1) != std::string::npos) {
        report("a key line must be [\\Registry\\...]");
        continue;
      }
      currentKey = Widen(line.substr(first + 1, close - first - 1));
      if (currentKey.rfind(u"\\Registry", 0) != 0) {
        report("key paths start with \\Registry");
        currentKey.clear();
        continue;
      }
      CreateKey(currentKey);
      continue;
    }
    if (currentKey.empty()) {
      report("a value before any key");
      continue;
    }
    LineParser parser(line);
    std::u16string name;
    std::string error;
    if (!parser.Take('@') && !parser.QuotedString(&name, &error)) {
      report(error);
      continue;
    }
    RegistryValue value;
    if (!parser.Take('=')) {
      report("expected '=' after the value name");
      continue;
    }
    if (!ParseValueData(parser, &value, &error)) {
      report(error);
      continue;
    }
    SetValue(currentKey, name, std::move(value));
  }
  return ok;
}

bool Registry::Load(const std::string& fileName, std::vector<std::string>* errors) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) {
    if (errors) errors->push_back(fileName + ": cannot be read");
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  return FromText(text.str(), errors);
}

bool Registry::Save(const std::string& fileName, std::string* error) const {
  std::string temporary = fileName + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!(file << ToText())) {
      if (error) *error = fileName + ": cannot be written";
      return false;
    }
  }
  if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
    if (error) *error = fileName + ": cannot be replaced";
    return false;
  }
  return true;
}

}  // namespace sim
