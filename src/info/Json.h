// A small JSON writer: members in the order written, two-blank indentation, UTF-8 text.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace kdht::info {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The member name of the next value inside an object.
  JsonWriter& Key(const std::string& name);
  JsonWriter& String(const std::string& value);
  JsonWriter& Bool(bool value);
  JsonWriter& Number(std::uint64_t value);
  JsonWriter& Null();
  // Member shorthands.
  JsonWriter& Member(const std::string& name, const std::string& value) { return Key(name).String(value); }
  JsonWriter& Member(const std::string& name, const char* value) { return Key(name).String(value); }
  JsonWriter& Member(const std::string& name, bool value) { return Key(name).Bool(value); }
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JsonWriter& Member(const std::string& name, T value) {
    return Key(name).Number(static_cast<std::uint64_t>(value));
  }
  const std::string& Text() const { return out_; }

  // "..." with the characters JSON requires escaped; other UTF-8 text as it stands.
  static std::string Quote(const std::string& value);

 private:
  void BeforeValue();
  void NewLine();
  void Open(char bracket);
  void Close(char bracket);
  std::string out_;
  std::vector<bool> empty_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace kdht::info
