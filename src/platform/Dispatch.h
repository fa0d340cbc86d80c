// COM apartment and late binding through IDispatch. Nothing above this layer sees a VARIANT
// or a BSTR: values cross as DispatchValue.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kdht::platform {

// Initialises COM (a single-threaded apartment) for the calling thread, now or at the first
// Enter, until the object ends. Entering costs a start-up under Wine tens of milliseconds (the
// apartment's window, the windowing system behind it), which a run that creates no component is
// spared by entering late. Enter is called on the thread that made the object.
class ComApartment {
 public:
  enum class Entry { Now, OnFirstUse };
  explicit ComApartment(Entry entry = Entry::Now);
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  void Enter();
  bool entered() const { return tried_; }

 private:
  bool tried_ = false;
  bool initialized_ = false;
};

using DispatchValue = std::variant<std::monostate, bool, std::int16_t, std::int32_t, std::string>;

std::string DispatchValueText(const DispatchValue& value);
bool DispatchValueTrue(const DispatchValue& value);

// One argument of a method call. By-reference arguments receive the component's out-value.
struct DispatchArg {
  DispatchValue value;
  bool byRef = false;
};

class Dispatch {
 public:
  Dispatch() = default;
  ~Dispatch();
  Dispatch(Dispatch&& other) noexcept;
  Dispatch& operator=(Dispatch&& other) noexcept;
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;

  // Creates a component by its ProgID. A class that is not registered fails with 429
  // ("ActiveX component can't create object"); other failures carry the HRESULT.
  static Dispatch Create(const std::string& progId);

  void Put(const std::string& property, const DispatchValue& value);
  DispatchValue Get(const std::string& property);
  // Arguments in call order; by-reference values are updated in place.
  DispatchValue Call(const std::string& method, std::vector<DispatchArg>& args);

  bool valid() const { return object_ != nullptr; }

 private:
  explicit Dispatch(void* object) : object_(object) {}
  void* object_ = nullptr;  // IDispatch*
};

}  // namespace kdht::platform
