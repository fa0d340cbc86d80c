// The system's XML DOM (MSXML) with XPath selection. A missing node read through Child()
// fails with 91, as an unset object would.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kdht::platform {

class XmlNode {
 public:
  XmlNode() = default;
  ~XmlNode();
  XmlNode(const XmlNode& other);
  XmlNode& operator=(const XmlNode& other);
  XmlNode(XmlNode&& other) noexcept;
  XmlNode& operator=(XmlNode&& other) noexcept;

  bool valid() const { return node_ != nullptr; }
  std::string Name() const;  // local name, without prefix
  std::string Text() const;
  void SetText(const std::string& text);
  std::string Xml() const;
  std::optional<std::string> Attribute(const std::string& name) const;
  std::optional<XmlNode> SelectSingle(const std::string& xpath) const;
  std::vector<XmlNode> Select(const std::string& xpath) const;
  // The child element by name; throws Failure 91 when absent.
  XmlNode Child(const std::string& name) const;
  void AppendChild(const XmlNode& child);

 private:
  friend class XmlDocument;
  explicit XmlNode(void* node) : node_(node) {}
  void* node_ = nullptr;  // IXMLDOMNode*
};

class XmlDocument {
 public:
  XmlDocument() = default;
  ~XmlDocument();
  XmlDocument(XmlDocument&& other) noexcept;
  XmlDocument& operator=(XmlDocument&& other) noexcept;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // By ProgID ("Msxml2.DOMDocument"); throws Failure on error.
  static XmlDocument CreateByProgId(const std::string& progId);
  // By class id text, e.g. "{F6D90F11-9C73-11D3-B32E-00C04F990BB4}".
  static XmlDocument CreateByClsid(const std::string& clsid);

  bool valid() const { return doc_ != nullptr; }
  // Both refuse a document with a document type declaration (false, and the document empty).
  bool Load(const std::string& path);        // false when the file is missing or not XML
  bool LoadXml(const std::string& text);     // false when the text is not XML
  void Save(const std::string& path);        // throws on failure
  std::string Xml() const;
  std::optional<XmlNode> DocumentElement() const;
  std::optional<XmlNode> LastChild() const;
  std::optional<XmlNode> SelectSingle(const std::string& xpath) const;
  std::vector<XmlNode> Select(const std::string& xpath) const;
  XmlNode CreateElement(const std::string& name);

  // Wraps a raw node pointer that already carries a reference (platform-internal).
  static XmlNode WrapNode(void* node);

 private:
  void* doc_ = nullptr;  // IXMLDOMDocument2*
};

}  // namespace kdht::platform
