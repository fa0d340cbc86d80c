#include "platform/Xml.h"

#include <windows.h>
#include <msxml2.h>

#include "platform/ComIds.h"
#include "platform/ComPtr.h"
#include "platform/ComValue.h"
#include "platform/Failure.h"
#include "platform/Text.h"

namespace kdht::platform {
namespace {

IXMLDOMNode* AsNode(void* p) { return static_cast<IXMLDOMNode*>(p); }
IXMLDOMDocument2* AsDoc(void* p) { return static_cast<IXMLDOMDocument2*>(p); }

[[noreturn]] void ThrowNotSet() { throw Failure(91, "Object variable or With block variable not set"); }

void Check(HRESULT hr) {
  if (FAILED(hr)) ThrowComError(hr);
}

std::vector<XmlNode> CollectNodes(IXMLDOMNodeList* list);
// XPath selection from a node or a document (a document is a node too).
std::optional<XmlNode> SelectSingleFrom(IXMLDOMNode* from, const std::string& xpath);
std::vector<XmlNode> SelectFrom(IXMLDOMNode* from, const std::string& xpath);

}  // namespace

// ---- XmlNode ----

XmlNode::~XmlNode() {
  if (node_ != nullptr) AsNode(node_)->Release();
}

XmlNode::XmlNode(const XmlNode& other) : node_(other.node_) {
  if (node_ != nullptr) AsNode(node_)->AddRef();
}

XmlNode& XmlNode::operator=(const XmlNode& other) {
  if (this != &other) {
    if (other.node_ != nullptr) AsNode(other.node_)->AddRef();
    if (node_ != nullptr) AsNode(node_)->Release();
    node_ = other.node_;
  }
  return *this;
}

XmlNode::XmlNode(XmlNode&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }

XmlNode& XmlNode::operator=(XmlNode&& other) noexcept {
  if (this != &other) {
    if (node_ != nullptr) AsNode(node_)->Release();
    node_ = other.node_;
    other.node_ = nullptr;
  }
  return *this;
}

std::string XmlNode::Name() const {
  if (node_ == nullptr) ThrowNotSet();
  Bstr name;
  Check(AsNode(node_)->get_baseName(name.put()));
  return name.str();
}

std::string XmlNode::Text() const {
  if (node_ == nullptr) ThrowNotSet();
  Bstr text;
  Check(AsNode(node_)->get_text(text.put()));
  return text.str();
}

void XmlNode::SetText(const std::string& text) {
  if (node_ == nullptr) ThrowNotSet();
  Bstr value(text);
  Check(AsNode(node_)->put_text(value.get()));
}

std::string XmlNode::Xml() const {
  if (node_ == nullptr) ThrowNotSet();
  Bstr xml;
  Check(AsNode(node_)->get_xml(xml.put()));
  return xml.str();
}

std::optional<std::string> XmlNode::Attribute(const std::string& name) const {
  if (node_ == nullptr) ThrowNotSet();
  ComPtr<IXMLDOMElement> element;
  if (FAILED(AsNode(node_)->QueryInterface(ids::IID_XMLDOMElement, reinterpret_cast<void**>(element.put())))) {
    return std::nullopt;
  }
  Bstr attr(name);
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = element->getAttribute(attr.get(), &value);
  if (hr != S_OK || V_VT(&value) != VT_BSTR) {
    VariantClear(&value);
    return std::nullopt;
  }
  std::string out = BstrText(V_BSTR(&value));
  VariantClear(&value);
  return out;
}

std::optional<XmlNode> XmlNode::SelectSingle(const std::string& xpath) const {
  if (node_ == nullptr) ThrowNotSet();
  return SelectSingleFrom(AsNode(node_), xpath);
}

std::vector<XmlNode> XmlNode::Select(const std::string& xpath) const {
  if (node_ == nullptr) ThrowNotSet();
  return SelectFrom(AsNode(node_), xpath);
}

XmlNode XmlNode::Child(const std::string& name) const {
  auto node = SelectSingle(name);
  if (!node) ThrowNotSet();
  return *node;
}

void XmlNode::AppendChild(const XmlNode& child) {
  if (node_ == nullptr || child.node_ == nullptr) ThrowNotSet();
  ComPtr<IXMLDOMNode> added;
  Check(AsNode(node_)->appendChild(AsNode(child.node_), added.put()));
}

namespace {

std::optional<XmlNode> SelectSingleFrom(IXMLDOMNode* from, const std::string& xpath) {
  Bstr query(xpath);
  IXMLDOMNode* found = nullptr;
  HRESULT hr = from->selectSingleNode(query.get(), &found);
  if (FAILED(hr)) ThrowComError(hr);
  if (found == nullptr) return std::nullopt;
  return XmlDocument::WrapNode(found);
}

std::vector<XmlNode> SelectFrom(IXMLDOMNode* from, const std::string& xpath) {
  Bstr query(xpath);
  ComPtr<IXMLDOMNodeList> list;
  Check(from->selectNodes(query.get(), list.put()));
  return CollectNodes(list.get());
}

std::vector<XmlNode> CollectNodes(IXMLDOMNodeList* list) {
  std::vector<XmlNode> nodes;
  if (list == nullptr) return nodes;
  long count = 0;
  Check(list->get_length(&count));
  nodes.reserve(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) {
    IXMLDOMNode* item = nullptr;
    Check(list->get_item(i, &item));
    if (item != nullptr) {
      // XmlNode's constructor from a raw pointer is private; wrap through a copy-free path.
      ComPtr<IXMLDOMNode> owned = ComPtr<IXMLDOMNode>::Attach(item);
      nodes.push_back(XmlDocument::WrapNode(owned.Detach()));
    }
  }
  return nodes;
}

}  // namespace

// ---- XmlDocument ----

XmlNode XmlDocument::WrapNode(void* node) { return XmlNode(node); }

XmlDocument::~XmlDocument() {
  if (doc_ != nullptr) AsDoc(doc_)->Release();
}

XmlDocument::XmlDocument(XmlDocument&& other) noexcept : doc_(other.doc_) { other.doc_ = nullptr; }

XmlDocument& XmlDocument::operator=(XmlDocument&& other) noexcept {
  if (this != &other) {
    if (doc_ != nullptr) AsDoc(doc_)->Release();
    doc_ = other.doc_;
    other.doc_ = nullptr;
  }
  return *this;
}

namespace {

void* CreateDocument(const CLSID& clsid) {
  IXMLDOMDocument2* doc = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, ids::IID_XMLDOMDocument2,
                                reinterpret_cast<void**>(&doc));
  if (FAILED(hr)) ThrowComError(hr);
  doc->put_async(VARIANT_FALSE);
  // Templates come from the network: never fetch external entities or DTDs, and refuse a
  // document that carries a DTD at all (its entities could expand without bound). The version
  // independent object lets a DTD through unless told otherwise. Systems whose parser does not
  // know the property are covered by the document-type test after each load.
  doc->put_resolveExternals(VARIANT_FALSE);
  doc->put_validateOnParse(VARIANT_FALSE);
  {
    Bstr prohibit("ProhibitDTD");
    VARIANT yes;
    VariantInit(&yes);
    V_VT(&yes) = VT_BOOL;
    V_BOOL(&yes) = VARIANT_TRUE;
    doc->setProperty(prohibit.get(), yes);
  }
  Bstr language("SelectionLanguage");
  VARIANT xpath;
  VariantInit(&xpath);
  V_VT(&xpath) = VT_BSTR;
  V_BSTR(&xpath) = SysAllocString(L"XPath");
  doc->setProperty(language.get(), xpath);
  VariantClear(&xpath);
  return doc;
}

}  // namespace

XmlDocument XmlDocument::CreateByProgId(const std::string& progId) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(Widen(progId).c_str(), &clsid);
  if (FAILED(hr)) ThrowComError(hr);
  XmlDocument d;
  d.doc_ = CreateDocument(clsid);
  return d;
}

XmlDocument XmlDocument::CreateByClsid(const std::string& clsidText) {
  CLSID clsid;
  std::wstring w = Widen(clsidText);
  HRESULT hr = CLSIDFromString(w.data(), &clsid);
  if (FAILED(hr)) ThrowComError(hr);
  XmlDocument d;
  d.doc_ = CreateDocument(clsid);
  return d;
}

namespace {

// A document that came with a document type declaration is not used: it is emptied and counts
// as not loaded, whatever the parser made of the declaration.
bool RefuseDocumentType(IXMLDOMDocument2* doc) {
  IXMLDOMDocumentType* type = nullptr;
  const HRESULT hr = doc->get_doctype(&type);
  if (type != nullptr) type->Release();
  if (hr == S_OK && type != nullptr) {
    Bstr empty("");
    VARIANT_BOOL ignored = VARIANT_FALSE;
    doc->loadXML(empty.get(), &ignored);
    return true;
  }
  return false;
}

}  // namespace

bool XmlDocument::Load(const std::string& path) {
  if (doc_ == nullptr) ThrowNotSet();
  VARIANT source;
  VariantInit(&source);
  const std::wstring w = Widen(path);
  V_VT(&source) = VT_BSTR;
  V_BSTR(&source) = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = AsDoc(doc_)->load(source, &ok);
  VariantClear(&source);
  return SUCCEEDED(hr) && ok == VARIANT_TRUE && !RefuseDocumentType(AsDoc(doc_));
}

bool XmlDocument::LoadXml(const std::string& text) {
  if (doc_ == nullptr) ThrowNotSet();
  Bstr value(text);
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = AsDoc(doc_)->loadXML(value.get(), &ok);
  return SUCCEEDED(hr) && ok == VARIANT_TRUE && !RefuseDocumentType(AsDoc(doc_));
}

void XmlDocument::Save(const std::string& path) {
  if (doc_ == nullptr) ThrowNotSet();
  VARIANT target;
  VariantInit(&target);
  const std::wstring w = Widen(path);
  V_VT(&target) = VT_BSTR;
  V_BSTR(&target) = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  HRESULT hr = AsDoc(doc_)->save(target);
  VariantClear(&target);
  Check(hr);
}

std::string XmlDocument::Xml() const {
  if (doc_ == nullptr) ThrowNotSet();
  Bstr xml;
  Check(AsDoc(doc_)->get_xml(xml.put()));
  return xml.str();
}

std::optional<XmlNode> XmlDocument::DocumentElement() const {
  if (doc_ == nullptr) ThrowNotSet();
  IXMLDOMElement* element = nullptr;
  Check(AsDoc(doc_)->get_documentElement(&element));
  if (element == nullptr) return std::nullopt;
  IXMLDOMNode* node = nullptr;
  HRESULT hr = element->QueryInterface(ids::IID_XMLDOMNode, reinterpret_cast<void**>(&node));
  element->Release();
  Check(hr);
  return XmlNode(node);
}

std::optional<XmlNode> XmlDocument::LastChild() const {
  if (doc_ == nullptr) ThrowNotSet();
  IXMLDOMNode* node = nullptr;
  Check(AsDoc(doc_)->get_lastChild(&node));
  if (node == nullptr) return std::nullopt;
  return XmlNode(node);
}

std::optional<XmlNode> XmlDocument::SelectSingle(const std::string& xpath) const {
  if (doc_ == nullptr) ThrowNotSet();
  return SelectSingleFrom(AsDoc(doc_), xpath);
}

std::vector<XmlNode> XmlDocument::Select(const std::string& xpath) const {
  if (doc_ == nullptr) ThrowNotSet();
  return SelectFrom(AsDoc(doc_), xpath);
}

XmlNode XmlDocument::CreateElement(const std::string& name) {
  if (doc_ == nullptr) ThrowNotSet();
  Bstr tag(name);
  IXMLDOMElement* element = nullptr;
  Check(AsDoc(doc_)->createElement(tag.get(), &element));
  IXMLDOMNode* node = nullptr;
  HRESULT hr = element->QueryInterface(ids::IID_XMLDOMNode, reinterpret_cast<void**>(&node));
  element->Release();
  Check(hr);
  return XmlNode(node);
}

}  // namespace kdht::platform
