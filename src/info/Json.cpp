#include "info/Json.h"

#include <cstdio>

namespace kdht::info {

std::string JsonWriter::Quote(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char buffer[8];
          const int length = std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
          if (length > 0) out.append(buffer, static_cast<size_t>(length));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void JsonWriter::NewLine() {
  out_ += '\n';
  out_.append(2 * empty_.size(), ' ');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!empty_.empty()) {
    if (!empty_.back()) out_ += ",";
    empty_.back() = false;
    NewLine();
  }
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_ += bracket;
  empty_.push_back(true);
}

void JsonWriter::Close(char bracket) {
  const bool wasEmpty = empty_.back();
  empty_.pop_back();
  if (!wasEmpty) NewLine();
  out_ += bracket;
}

JsonWriter& JsonWriter::BeginObject() { Open('{'); return *this; }
JsonWriter& JsonWriter::EndObject() { Close('}'); return *this; }
JsonWriter& JsonWriter::BeginArray() { Open('['); return *this; }
JsonWriter& JsonWriter::EndArray() { Close(']'); return *this; }

JsonWriter& JsonWriter::Key(const std::string& name) {
  BeforeValue();
  out_ += Quote(name) + ": ";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
  BeforeValue();
  out_ += Quote(value);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Number(std::uint64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}

}  // namespace kdht::info
