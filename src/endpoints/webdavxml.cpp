#include "endpoints/webdavxml.h"

#include <cstring>

namespace tandemora {

std::string LocalName(const pugi::xml_node& Node) {
    const char* name = Node.name();
    const char* colon = std::strchr(name, ':');
    return colon != nullptr ? std::string(colon + 1) : std::string(name);
}

std::string NamespaceOf(const pugi::xml_node& Node) {
    const std::string name = Node.name();
    const size_t colon = name.find(':');
    const std::string declaration = colon == std::string::npos ? "xmlns" : "xmlns:" + name.substr(0, colon);
    for (pugi::xml_node n = Node; n && n.type() == pugi::node_element; n = n.parent()) {
        const pugi::xml_attribute a = n.attribute(declaration.c_str());
        if (a) {
            return a.value();
        }
    }
    return "";
}

bool IsDavElement(const pugi::xml_node& Node, const char* Local) {
    return Node.type() == pugi::node_element && LocalName(Node) == Local && NamespaceOf(Node) == DavNamespace;
}

// ---- TXMLDavNode --------------------------------------------------------------------

std::string TXMLDavNode::Text() const {
    return node_ ? std::string(node_.text().get()) : std::string();
}

void TXMLDavNode::SetText(const std::string& Value) {
    if (node_) {
        node_.text().set(Value.c_str());
    }
}

pugi::xml_node TXMLDavNode::Child(const char* Local) const {
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
        if (IsDavElement(c, Local)) {
            return c;
        }
    }
    return pugi::xml_node();
}

pugi::xml_node TXMLDavNode::ForceChild(const char* Local) {
    pugi::xml_node c = Child(Local);
    if (!c && node_) {
        c = node_.append_child((Prefix() + Local).c_str());
    }
    return c;
}

std::string TXMLDavNode::ChildText(const char* Local) const {
    return TXMLDavNode(Child(Local)).Text();
}

void TXMLDavNode::SetChildText(const char* Local, const std::string& Value) {
    TXMLDavNode(ForceChild(Local)).SetText(Value);
}

std::string TXMLDavNode::Prefix() const {
    const std::string name = node_.name();
    const size_t colon = name.find(':');
    return colon == std::string::npos ? std::string() : name.substr(0, colon + 1);
}

// ---- Values ---------------------------------------------------------------------------

std::string TXMLDtValueType::Dt() const {
    for (pugi::xml_attribute a = node_.first_attribute(); a; a = a.next_attribute()) {
        const char* name = a.name();
        const char* colon = std::strchr(name, ':');
        if (std::strcmp(colon != nullptr ? colon + 1 : name, "dt") == 0 &&
            std::strncmp(name, "xmlns", 5) != 0) {
            return a.value();
        }
    }
    return "";
}

void TXMLDtValueType::SetDt(const std::string& Value) {
    if (node_) {
        pugi::xml_attribute a = node_.attribute("dt");
        if (!a) {
            a = node_.append_attribute("dt");
        }
        a.set_value(Value.c_str());
    }
}

std::string TXMLResourcetypeType::Collection() const {
    return ChildText("collection");
}

void TXMLResourcetypeType::SetCollection(const std::string& Value) {
    SetChildText("collection", Value);
}

bool TXMLResourcetypeType::IsCollection() const {
    return static_cast<bool>(Child("collection"));
}

// ---- prop -------------------------------------------------------------------------------

TXMLGetcontentlengthType TXMLPropType::Getcontentlength() const {
    return TXMLGetcontentlengthType(Child("getcontentlength"));
}
TXMLCreationdateType TXMLPropType::Creationdate() const {
    return TXMLCreationdateType(Child("creationdate"));
}
std::string TXMLPropType::Displayname() const {
    return ChildText("displayname");
}
std::string TXMLPropType::Getetag() const {
    return ChildText("getetag");
}
TXMLGetlastmodifiedType TXMLPropType::Getlastmodified() const {
    return TXMLGetlastmodifiedType(Child("getlastmodified"));
}
TXMLResourcetypeType TXMLPropType::Resourcetype() const {
    return TXMLResourcetypeType(Child("resourcetype"));
}
std::string TXMLPropType::Supportedlock() const {
    return ChildText("supportedlock");
}
TXMLIshiddenType TXMLPropType::Ishidden() const {
    return TXMLIshiddenType(Child("ishidden"));
}
TXMLIscollectionType TXMLPropType::Iscollection() const {
    return TXMLIscollectionType(Child("iscollection"));
}
std::string TXMLPropType::Getcontenttype() const {
    return ChildText("getcontenttype");
}
void TXMLPropType::SetDisplayname(const std::string& Value) {
    SetChildText("displayname", Value);
}
void TXMLPropType::SetGetetag(const std::string& Value) {
    SetChildText("getetag", Value);
}
void TXMLPropType::SetSupportedlock(const std::string& Value) {
    SetChildText("supportedlock", Value);
}
void TXMLPropType::SetGetcontenttype(const std::string& Value) {
    SetChildText("getcontenttype", Value);
}

// ---- propstat, response, multistatus ------------------------------------------------------------

std::string TXMLPropstatType::Status() const {
    return ChildText("status");
}
TXMLPropType TXMLPropstatType::Prop() const {
    return TXMLPropType(Child("prop"));
}
void TXMLPropstatType::SetStatus(const std::string& Value) {
    SetChildText("status", Value);
}

std::string TXMLResponseType::Href() const {
    return ChildText("href");
}
TXMLPropstatType TXMLResponseType::Propstat() const {
    return TXMLPropstatType(Child("propstat"));
}
int TXMLResponseType::PropstatCount() const {
    int n = 0;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
        n += IsDavElement(c, "propstat") ? 1 : 0;
    }
    return n;
}
TXMLPropstatType TXMLResponseType::PropstatItem(int Index) const {
    int n = 0;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
        if (IsDavElement(c, "propstat") && n++ == Index) {
            return TXMLPropstatType(c);
        }
    }
    return TXMLPropstatType();
}
std::string TXMLResponseType::Status() const {
    return ChildText("status");
}
void TXMLResponseType::SetHref(const std::string& Value) {
    SetChildText("href", Value);
}
void TXMLResponseType::SetStatus(const std::string& Value) {
    SetChildText("status", Value);
}

int TXMLMultistatusType::Count() const {
    int n = 0;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
        n += IsDavElement(c, "response") ? 1 : 0;
    }
    return n;
}

TXMLResponseType TXMLMultistatusType::Response(int Index) const {
    int n = 0;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
        if (IsDavElement(c, "response") && n++ == Index) {
            return TXMLResponseType(c);
        }
    }
    return TXMLResponseType();
}

TXMLResponseType TXMLMultistatusType::Add() {
    if (!node_) {
        return TXMLResponseType();
    }
    return TXMLResponseType(node_.append_child((Prefix() + "response").c_str()));
}

TXMLResponseType TXMLMultistatusType::Insert(int Index) {
    const TXMLResponseType before = Response(Index);
    if (!node_ || !before.Exists()) {
        return Add();
    }
    return TXMLResponseType(node_.insert_child_before((Prefix() + "response").c_str(), before.Node()));
}

IXMLMultistatusType Getmultistatus(const pugi::xml_document& Doc) {
    const pugi::xml_node root = Doc.document_element();
    return IsDavElement(root, "multistatus") ? TXMLMultistatusType(root) : TXMLMultistatusType();
}

} // namespace tandemora
