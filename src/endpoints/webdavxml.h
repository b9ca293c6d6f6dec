#pragma once
// The elements of a WebDAV multistatus reply (the answer to PROPFIND), bound to
// small classes over the parsed document.
//
// Rules every class follows:
// - A child element is found by its local name in the namespace "DAV:", whatever
//   prefix the server gave it (D:, a:, lp1: ...); when several match, the first
//   counts. Elements of other namespaces with the same local name do not match.
// - A property the reply lacks reads as an empty element: empty text, Exists()
//   false. Reading never changes the document.
// - The writers create a missing child with the parent's own prefix, so it lands
//   in the same namespace.
//
// The classes are light handles: copying one copies a reference to the same
// element of the document, which must outlive them. Each class serves as its own
// interface (the IXML... names).

#include <pugixml.hpp>

#include <string>

namespace tandemora {

inline constexpr const char* DavNamespace = "DAV:";

// The local name of an element ("response" for "D:response").
std::string LocalName(const pugi::xml_node& Node);
// The namespace an element's prefix (or the default namespace) stands for,
// found on the element itself or the nearest ancestor declaring it.
std::string NamespaceOf(const pugi::xml_node& Node);
// True for an element with this local name in "DAV:".
bool IsDavElement(const pugi::xml_node& Node, const char* Local);

// What every bound element has: its text, its presence and child lookup.
class TXMLDavNode {
public:
    TXMLDavNode() = default;
    explicit TXMLDavNode(pugi::xml_node Node) : node_(Node) {}

    bool Exists() const { return static_cast<bool>(node_); }
    pugi::xml_node Node() const { return node_; }
    // The element's text content; empty for a missing element.
    std::string Text() const;
    void SetText(const std::string& Value);

protected:
    // The first child element in "DAV:" with this local name (null when none).
    pugi::xml_node Child(const char* Local) const;
    // The same, created (with this element's prefix) when missing.
    pugi::xml_node ForceChild(const char* Local);
    // The text of the child, empty when there is none.
    std::string ChildText(const char* Local) const;
    void SetChildText(const char* Local, const std::string& Value);
    // This element's prefix with its colon ("D:"), empty when it has none.
    std::string Prefix() const;

    pugi::xml_node node_;
};

// getcontentlength, creationdate, getlastmodified, ishidden, iscollection: the
// value is the element's text; servers of one family add a data-type attribute "dt".
class TXMLDtValueType : public TXMLDavNode {
public:
    using TXMLDavNode::TXMLDavNode;
    std::string Dt() const;
    void SetDt(const std::string& Value);
};

class TXMLGetcontentlengthType : public TXMLDtValueType {
public:
    using TXMLDtValueType::TXMLDtValueType;
};
class TXMLCreationdateType : public TXMLDtValueType {
public:
    using TXMLDtValueType::TXMLDtValueType;
};
class TXMLGetlastmodifiedType : public TXMLDtValueType {
public:
    using TXMLDtValueType::TXMLDtValueType;
};
class TXMLIshiddenType : public TXMLDtValueType {
public:
    using TXMLDtValueType::TXMLDtValueType;
};
class TXMLIscollectionType : public TXMLDtValueType {
public:
    using TXMLDtValueType::TXMLDtValueType;
};

class TXMLResourcetypeType : public TXMLDavNode {
public:
    using TXMLDavNode::TXMLDavNode;
    // The text of the child element "collection" (normally empty even for a folder).
    std::string Collection() const;
    void SetCollection(const std::string& Value);
    // True when the element holds a "collection" child in "DAV:": the resource
    // is a folder. Only the element tells; its length or prefix does not.
    bool IsCollection() const;
};

class TXMLPropType : public TXMLDavNode {
public:
    using TXMLDavNode::TXMLDavNode;
    TXMLGetcontentlengthType Getcontentlength() const;
    TXMLCreationdateType Creationdate() const;
    std::string Displayname() const;
    std::string Getetag() const;
    TXMLGetlastmodifiedType Getlastmodified() const;
    TXMLResourcetypeType Resourcetype() const;
    std::string Supportedlock() const;
    TXMLIshiddenType Ishidden() const;
    TXMLIscollectionType Iscollection() const;
    std::string Getcontenttype() const;
    void SetDisplayname(const std::string& Value);
    void SetGetetag(const std::string& Value);
    void SetSupportedlock(const std::string& Value);
    void SetGetcontenttype(const std::string& Value);
};

class TXMLPropstatType : public TXMLDavNode {
public:
    using TXMLDavNode::TXMLDavNode;
    // The status line of this group of properties, e.g. "HTTP/1.1 200 OK".
    std::string Status() const;
    TXMLPropType Prop() const;
    void SetStatus(const std::string& Value);
};

class TXMLResponseType : public TXMLDavNode {
public:
    using TXMLDavNode::TXMLDavNode;
    std::string Href() const;
    // The first propstat.
    TXMLPropstatType Propstat() const;
    // Every propstat, in order: a server groups properties by their status and
    // may put a failed group ("404") before the good one.
    int PropstatCount() const;
    TXMLPropstatType PropstatItem(int Index) const;
    // The status of a response that carries no properties (an error for its href).
    std::string Status() const;
    void SetHref(const std::string& Value);
    void SetStatus(const std::string& Value);
};

class TXMLMultistatusType : public TXMLDavNode {
public:
    using TXMLDavNode::TXMLDavNode;
    int Count() const;
    TXMLResponseType Response(int Index) const;
    // Appends a new empty response.
    TXMLResponseType Add();
    // Inserts a new empty response before the one at Index (appends past the end).
    TXMLResponseType Insert(int Index);
};

using IXMLDtValueType = TXMLDtValueType;
using IXMLGetcontentlengthType = TXMLGetcontentlengthType;
using IXMLCreationdateType = TXMLCreationdateType;
using IXMLGetlastmodifiedType = TXMLGetlastmodifiedType;
using IXMLIshiddenType = TXMLIshiddenType;
using IXMLIscollectionType = TXMLIscollectionType;
using IXMLResourcetypeType = TXMLResourcetypeType;
using IXMLPropType = TXMLPropType;
using IXMLPropstatType = TXMLPropstatType;
using IXMLResponseType = TXMLResponseType;
using IXMLMultistatusType = TXMLMultistatusType;

// The document element as a multistatus. Exists() is false when the document is
// something else (an HTML error page, another XML root, an empty document).
IXMLMultistatusType Getmultistatus(const pugi::xml_document& Doc);

} // namespace tandemora
